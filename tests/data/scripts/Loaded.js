// Defines a value and a function the tests read back after loading.
var loadedValue = "loaded";

function double(value) {
  return value * 2;
}
