// Yodel: page only. Searched 2026-12-08 for what Yodel's own tracking page
// (www.yodel.co.uk/tracking) reads: no public project or documentation describes it, and
// Yodel's developer interface (developer.yodel.co.uk, OAuth client credentials) describes no
// tracking answer that could be checked. The user is pointed at the tracking page until a
// source describes one.

var KEY = 'www.yodel.co.uk';
var PAGE = 'https://www.yodel.co.uk/tracking/';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
