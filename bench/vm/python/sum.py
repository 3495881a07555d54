# a. Sum of 1..10,000,000 kept in a global; prints 50000005000000.
total = 0
for i in range(1, 10000001):
    total += i
print(total)
