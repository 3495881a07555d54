<?php
// d. Members "k".i = i for i in 1..1,000,000, then their sum by lookup; prints 500000500000.
$st = [];
for ($i = 1; $i <= 1000000; $i++) {
    $st["k" . $i] = $i;
}
$sum = 0;
for ($i = 1; $i <= 1000000; $i++) {
    $sum += $st["k" . $i];
}
echo $sum, "\n";
