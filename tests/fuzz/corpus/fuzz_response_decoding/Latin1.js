// Text in ISO-8859-1.
var latinText = "Café crème à la carte";
