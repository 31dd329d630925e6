// Old Dominion Freight Line (PRO numbers): page only. Public sources read 2026-12-08 describe
// the trace page's shipment service as answering only with a reCAPTCHA token the page obtains
// for itself, so the user is pointed at the trace page.

var KEY = 'www.odfl.com';
var PAGE = 'https://www.odfl.com/us/en/tools/trace-track-ltl-freight.html?proNumbers=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
