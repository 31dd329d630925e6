// Fails while it is loaded; the definitions before the failure stay.
var beforeFailure = true;

function fail() {
  throw new Error("Loading failed on purpose");
}
fail();
var afterFailure = true;
