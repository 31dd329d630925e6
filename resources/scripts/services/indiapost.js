// India Post: page only. The consignment tracking page answers only after its captcha is
// solved, and no public source read 2026-12-08 describes a service behind it, so the user is
// pointed at the tracking page.

var KEY = 'www.indiapost.gov.in';
var PAGE =
    'https://www.indiapost.gov.in/_layouts/15/dop.portal.tracking/trackconsignment.aspx?awb=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
