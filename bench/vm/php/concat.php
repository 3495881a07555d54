<?php
// b. Appends the decimal text of 1..1,000,000 to a string; prints its length, 5888896.
$s = "";
for ($i = 1; $i <= 1000000; $i++) {
    $s .= $i;
}
echo strlen($s), "\n";
