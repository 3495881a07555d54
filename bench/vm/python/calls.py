# c. 5,000,000 calls of add2(i, 1) with the result in a global; prints 5000001.
def add2(a, b):
    return a + b


for i in range(1, 5000001):
    r = add2(i, 1)
print(r)
