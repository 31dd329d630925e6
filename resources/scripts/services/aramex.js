// Aramex: page only. The keyless service that public sources describe (read 2026-12-08)
// serves only Aramex Australia and New Zealand labels; the global tracker's own service is
// described nowhere but in guesses, and the shipping web services need an account. The user
// is pointed at the global tracking page.

var KEY = 'www.aramex.com';
var PAGE = 'https://www.aramex.com/track/results?ShipmentNumber=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
