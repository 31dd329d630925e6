// Estes Express Lines: page only. Its tracking interface needs an Estes account's API key
// and credentials (developer.estes-express.com), and no public source read 2026-12-08
// describes what the public tracking page reads, so the user is pointed at that page.

var KEY = 'www.estes-express.com';
var PAGE = 'https://www.estes-express.com/tracking?pro=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
