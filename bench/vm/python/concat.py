# b. Appends the decimal text of 1..1,000,000 to a string; prints its length, 5888896.
s = ""
for i in range(1, 1000001):
    s += str(i)
print(len(s))
