# d. Members "k"+i = i for i in 1..1,000,000, then their sum by lookup; prints 500000500000.
st = {}
for i in range(1, 1000001):
    st["k" + str(i)] = i
total = 0
for i in range(1, 1000001):
    total += st["k" + str(i)]
print(total)
