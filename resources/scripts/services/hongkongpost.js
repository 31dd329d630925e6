// Hongkong Post: page only. The public sources read 2026-12-08 describe only the retired
// mtZresult.jsp result page and the post's enquiry chatbot, nothing that the current mail
// tracking page reads, so the user is pointed at that page.

var KEY = 'www.hongkongpost.hk';
var PAGE = 'https://webapp.hongkongpost.hk/en/mail_tracking/index.html?trackcode=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
