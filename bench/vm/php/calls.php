<?php
// c. 5,000,000 calls of add2(i, 1) with the result in a global; prints 5000001.
function add2($a, $b) {
    return $a + $b;
}

for ($i = 1; $i <= 5000000; $i++) {
    $r = add2($i, 1);
}
echo $r, "\n";
