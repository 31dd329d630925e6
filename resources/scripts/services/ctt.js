// CTT (Correios de Portugal): page only. The public tracker
// (www.ctt.pt/feapl_2/app/open/objectSearch) reads data actions of appserver.ctt.pt that,
// as a public carrier adapter describes (read 2026-12-08), need a session cookie whose value
// must be copied into a CSRF header, and version tokens read from the page's script bundle.
// The host hands scripts neither cookies nor response headers, so the user is pointed at
// the tracker instead.

var KEY = 'www.ctt.pt';
var PAGE = 'https://www.ctt.pt/feapl_2/app/open/objectSearch/objectSearch.jspx?objects=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
