// Yamato Transport (ヤマト運輸, Kuroneko): the search that Yamato's own tracking form posts to.
// It is HTML; no account is needed. The texts come in Japanese as the page shows them.
//
// Sources (read 2026-12-08): a public tracking project that posts to this page and describes
// it: the answer's .parts-tracking-invoice-block holds either a state marked
// .tracking-invoice-block-state.is-urgent-red ("伝票番号誤り" for a number Yamato does not know)
// or the scans as .tracking-invoice-block-detail > ol > li with .item (state, "配達完了" once
// delivered), .date ("MM月dd日 HH:mm", Japanese time, no year) and .name (the branch).
var KEY = 'www.kuronekoyamato.co.jp';
var API = 'https://toi.kuronekoyamato.co.jp/cgi-bin/tneko';
var PAGE = API;

var DELIVERED = /配達完了/;
var EXCEPTIONS = /持戻|返品|調査中/;

// The tracking form: the search itself answers only to a posted form.
function webURL() { return PAGE; }

function links(task) { return task.pageLinks(webURL); }

function matches(pattern, text) {
  var found = [];
  var match;
  while ((match = pattern.exec(text))) found.push(match[1]);
  return found;
}

function classText(html, name) {
  var pattern = new RegExp(
      '<(\\w+)\\b[^>]*class\\s*=\\s*["\'][^"\']*\\b' + name +
          '\\b[^"\']*["\'][^>]*>([\\s\\S]*?)</\\1>',
      'i');
  var match = pattern.exec(html);
  return match ? Q.text(match[2]) : '';
}

// Scan times carry no year: the latest year that does not put them after today.
function scanTime(text) {
  var match = /(\d{1,2})月(\d{1,2})日(?:\s*(\d{1,2}:\d{2}))?/.exec(text);
  if (!match) return undefined;
  var today = Q.isoDay(Q.now());
  var year = Number(today.slice(0, 4));
  var day = Q.isoDay(year + '-' + match[1] + '-' + match[2]);
  if (!day || day > today) day = Q.isoDay(year - 1 + '-' + match[1] + '-' + match[2]);
  return day ? Q.isoDateTime(day, match[3] || '0000') : undefined;
}

// Undefined when the page holds no complete answer block.
function invoiceOf(html) {
  var start = html.search(/class\s*=\s*["'][^"']*\bparts-tracking-invoice-block\b/i);
  if (start < 0) return undefined;
  var block = html.slice(start);
  var state =
      /<(\w+)\b[^>]*class\s*=\s*["'][^"']*\btracking-invoice-block-state\b[^"']*\bis-urgent-red\b[^"']*["'][^>]*>([\s\S]*?)<\/\1>/i
          .exec(block);
  if (state) return {error: Q.text(state[2])};
  var detail =
      /class\s*=\s*["'][^"']*\btracking-invoice-block-detail\b[^"']*["'][^>]*>[\s\S]*?<ol\b[^>]*>([\s\S]*?)<\/ol>/i
          .exec(block);
  if (!detail) return undefined;
  return {scans: matches(/<li\b[^>]*>([\s\S]*?)<\/li>/gi, detail[1])};
}

function parcelItem(task, scans) {
  var events = scans.map(function(scan) {
    return Q.event(
        scanTime(classText(scan, 'date')), classText(scan, 'item'), classText(scan, 'name'));
  });
  events = events.filter(function(event) { return event.text; });
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var text = latest.text || '';
  return Q.trackingItem(task.itemName, {
    state: DELIVERED.test(text) ? 'delivered' :
        EXCEPTIONS.test(text)   ? 'exception' :
                                  'transit',
    status: text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var invoice = response.status === 200 ? invoiceOf(response.text) : undefined;
  if (invoice) {
    if (invoice.error) {
      if (/伝票番号誤り|未登録/.test(invoice.error))
        return task.notFound(undefined, links(task));
      return task.fail(invoice.error, links(task));
    }
    if (!invoice.scans.length) return task.notFound(undefined, links(task));
    var item = parcelItem(task, invoice.scans);
    if (!Q.array(item.history).length) return task.fail(S.unreadable, links(task));
    return task.found([item], links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API, Q.form({category: '0', number01: task.number.replace(/-/g, '')}),
        {cache: false, referer: 'https://toi.kuronekoyamato.co.jp/cgi-bin/tneko'},
        function(response) { answer(task, response); });
  }
});
