-- c. 5,000,000 calls of add2(i, 1) with the result in a global; prints 5000001.
function add2(a, b)
  return a + b
end

for i = 1, 5000000 do
  r = add2(i, 1)
end
print(r)
