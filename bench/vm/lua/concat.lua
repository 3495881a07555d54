-- b. Appends the decimal text of 1..1,000,000 to a string; prints its length, 5888896.
s = ""
for i = 1, 1000000 do
  s = s .. i
end
print(#s)
