// UPS Mail Innovations: page only. Its numbers are tracked on ups.com, whose data service
// answers only to UPS developer keys; keys are configured per service, and none are asked of
// the user for this one. No public source describes a keyless service for these numbers
// (read 2026-12-08), so the user is pointed at the UPS tracking page.

var KEY = 'www.upsmailinnovations.com';
var PAGE = 'https://www.ups.com/track?loc=en_US&tracknum=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
