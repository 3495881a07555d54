-- a. Sum of 1..10,000,000 kept in a global; prints 50000005000000.
sum = 0
for i = 1, 10000000 do
  sum = sum + i
end
print(sum)
