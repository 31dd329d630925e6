// China Post / EMS: page only. The public sources read 2026-12-08 describe an enquiry that
// answers only after a picture captcha is solved (they read it with OCR), which a tracking
// script must not do, so the user is pointed at the EMS query page.

var KEY = 'www.ems.com.cn';
var PAGE = 'https://www.ems.com.cn/queryList?mailNum=';

function webURL(number) { return PAGE + encodeURIComponent(number); }

registerService(KEY, {
  access: 'page',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) { task.offerWebPage(webURL); }
});
