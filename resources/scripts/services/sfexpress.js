// SF Express: page only. The route query that public sources describe (read 2026-12-08) is
// the signed open platform for contract customers (a partner code and a check word), and the
// consumer page asks for the recipient's phone number, so the user is pointed at the page.

var KEY = 'www.sf-express.com';
var PAGE = 'https://www.sf-express.com/cn/sc/dynamic_function/waybill/#search/bill-number/';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
