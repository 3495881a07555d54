-- d. Members "k"..i = i for i in 1..1,000,000, then their sum by lookup; prints 500000500000.
st = {}
for i = 1, 1000000 do
  st["k" .. i] = i
end
sum = 0
for i = 1, 1000000 do
  sum = sum + st["k" .. i]
end
print(sum)
