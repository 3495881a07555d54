<?php
// The PHP side of the benchmark's program page: the same bytes as
// examples/site/hello.lasm writes. Its argument is Lumo's arg2, the query
// up to the first '+', URL-decoded.
$arg = urldecode(explode('+', $_SERVER['QUERY_STRING'] ?? '')[0]);
echo "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>Hello</title></head>\n<body>\n<h1>Hello</h1>\n<form>";
echo '<input type="hidden" name="arg2" value="', htmlspecialchars($arg), '">';
echo "</form>\n<ul>\n";
for ($i = 1; $i <= 100; $i++) {
    echo "<li>", $i, "\n";
}
echo "</ul>\n</body>\n</html>\n";
