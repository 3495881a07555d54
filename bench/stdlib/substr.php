<?php
// 5,000,000 calls of substr, the result kept in a global; prints " ju".
$s = "The quick brown fox jumps over the lazy dog";
for ($i = 0; $i < 5000000; $i++) {
    $r = substr($s, $i % 20, 3);
}
echo $r, "\n";
