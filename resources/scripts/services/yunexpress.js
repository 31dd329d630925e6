// YunExpress: page only. Public sources read 2026-12-08 describe the yuntrack.com query
// service as asking for a signed request and as refusing every client whose TLS handshake is
// not a browser's (they drive a real browser to reach it), so the user is pointed at the page.

var KEY = 'www.yunexpress.com';
var PAGE = 'https://www.yuntrack.com/parcelTracking?id=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
