// Test host scripts: the smallest set of files the updater loads, with behaviours the
// updater tests choose per delivery. Common holds the request bookkeeping.
var logLevel = -1;
var manualSignIn = "not reset";
var commonFilesVersion = 0;
var usesClicks = false;

var pendingRequests = {};
var nextRequestNumber = 1;

function send(url, postData, options, callback) {
  var number = nextRequestNumber++;
  pendingRequests[number] = callback;
  requestURL(url, postData, options, number);
}

function loadResponse(number, text, status, offline) {
  var callback = pendingRequests[number];
  delete pendingRequests[number];
  if (callback) callback({ text: text, status: status, offline: offline });
}
