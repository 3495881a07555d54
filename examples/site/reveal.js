// The programs write every value that came from the client as a hidden
// form field: that is where the machine HTML-encodes text. This shows each
// such value as plain text in its table cell. textContent never parses
// markup, so whatever the client sent stays text on the way out as well.
"use strict";

for (const cell of document.querySelectorAll("td.v")) {
  const fields = cell.querySelectorAll("input[type=hidden]");
  if (fields.length === 0) continue;
  // An array or a structure gives one field per element: name them.
  cell.textContent =
    fields.length === 1
      ? fields[0].value
      : Array.from(fields, (f) => f.name + " = " + f.value).join("\n");
}
