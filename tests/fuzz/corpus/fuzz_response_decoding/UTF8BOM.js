// Text in UTF-8 with a byte-order mark.
var utf8Text = "Café ☃";
