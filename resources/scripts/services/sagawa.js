// Sagawa Express (佐川急便): the waybill search page of k2k.sagawa-exp.co.jp that Sagawa's own
// tracking form opens. It is HTML; no account is needed. The texts come in Japanese as the page
// shows them.
//
// Sources (read 2026-12-08): a public tracking project that reads this page and describes it:
// span.state "該当なし" with "お荷物データが登録されておりません。" for an unknown number;
// otherwise dd#detail1 holds two tables, the first with the shipping day ("yyyy年MM月dd日") in
// its second cell, the second with one row per scan after a header row: state ("↓集荷",
// "↓輸送中", "↓配達中", "⇒配達完了"), time ("MM/dd HH:mm", Japanese time, no year), place.
var KEY = 'www.sagawa-exp.co.jp';
var API = 'https://k2k.sagawa-exp.co.jp/p/web/okurijosearch.do?okurijoNo=';
var PAGE = API;

var NONE_STATE = '該当なし';
var DELIVERED = /配達完了/;

function webURL(number) { return PAGE + encodeURIComponent(number.replace(/-/g, '')); }

function links(task) { return task.pageLinks(webURL); }

function matches(pattern, text) {
  var found = [];
  var match;
  while ((match = pattern.exec(text))) found.push(match[1]);
  return found;
}

// The scan times carry no year: the shipping day's year, or the next one for scans that
// would otherwise come before the shipping day.
function scanTime(text, shipped) {
  var match = /^(\d{1,2})\/(\d{1,2})\s+(\d{1,2}:\d{2})/.exec(text);
  if (!match || !shipped) return undefined;
  var year = Number(shipped.slice(0, 4));
  var day = Q.isoDay(year + '-' + match[1] + '-' + match[2]);
  if (day && day < shipped) day = Q.isoDay(year + 1 + '-' + match[1] + '-' + match[2]);
  return day ? Q.isoDateTime(day, match[3]) : undefined;
}

// Undefined when the page is neither an answer about the number nor a complete detail.
function parcelDetail(html) {
  var state =
      /<span\b[^>]*class\s*=\s*["'][^"']*\bstate\b[^"']*["'][^>]*>([\s\S]*?)<\/span>/i.exec(html);
  if (state && Q.text(state[1]) === NONE_STATE) return {unknown: true};
  var detail = /<dd\b[^>]*id\s*=\s*["']detail1["'][^>]*>([\s\S]*?)<\/dd>/i.exec(html);
  if (!detail) return undefined;
  var tables = matches(/<table\b[^>]*>([\s\S]*?)<\/table>/gi, detail[1]);
  if (tables.length < 2) return undefined;
  var first = [].concat.apply([], Q.tableRows(tables[0]));
  var day = /(\d{4})年(\d{1,2})月(\d{1,2})日/.exec(first[1] || '');
  var shipped = day ? Q.isoDay(day[1] + '-' + day[2] + '-' + day[3]) : undefined;
  var rows = Q.tableRows(tables[1]).filter(function(cells) { return cells.length >= 3; });
  return {shipped: shipped, rows: rows};
}

function parcelItem(task, detail) {
  var events = detail.rows.map(function(cells) {
    return Q.event(
        scanTime(cells[1], detail.shipped), cells[0].replace(/^[↓⇒→\s]+/, ''), cells[2]);
  });
  events = events.filter(function(event) { return event.text; });
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  return Q.trackingItem(task.itemName, {
    state: DELIVERED.test(latest.text || '') ? 'delivered' : 'transit',
    status: latest.text,
    statusDate: latest.date || detail.shipped,
    firstDate: detail.shipped || (events[events.length - 1] || {}).date,
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var detail = response.status === 200 ? parcelDetail(response.text) : undefined;
  if (detail) {
    if (detail.unknown || !detail.rows.length) return task.notFound(undefined, links(task));
    var item = parcelItem(task, detail);
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
        webURL(task.number), undefined, {cache: false},
        function(response) { answer(task, response); });
  }
});
