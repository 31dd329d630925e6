// Japan Post (日本郵便): the direct search page of trackings.post.japanpost.jp, the page the
// post's own tracking form opens. It is HTML, read cell by cell; no account is needed. The
// texts come in Japanese as the page shows them.
//
// Sources (read 2026-12-08): public Japanese tracking tools that read this page and describe
// it: the history is the table with summary "履歴情報", six cells per scan: date and time
// ("yyyy/MM/dd HH:mm", Japanese time), state, details, office, prefecture, postcode.
var KEY = 'www.post.japanpost.jp';
var API = 'https://trackings.post.japanpost.jp/services/srv/search/direct';
var PAGE = API;

var HISTORY_TABLE = /<table\b[^>]*summary\s*=\s*["']履歴情報["'][^>]*>([\s\S]*?)<\/table>/i;
var CELLS_PER_SCAN = 6;
var DELIVERED = /お届け済み|配達完了|お届け先にお届け/;
var EXCEPTIONS = /持ち戻り|返送|保管期間経過/;

function query(number) {
  return Q.query({searchKind: 'S002', locale: 'ja', reqCodeNo1: number.replace(/-/g, '')});
}

function webURL(number) { return PAGE + '?' + query(number); }

function links(task) { return task.pageLinks(webURL); }

// The scans as lists of six cell texts; undefined when the page has no (complete) history table.
function scanCells(html) {
  var table = HISTORY_TABLE.exec(html);
  if (!table) return undefined;
  // Every six data cells make one scan, counted across the rows.
  var cells = [].concat.apply([], Q.tableRows(table[0]));
  var scans = [];
  for (var i = 0; i + CELLS_PER_SCAN <= cells.length; i += CELLS_PER_SCAN) {
    scans.push(cells.slice(i, i + CELLS_PER_SCAN));
  }
  return scans;
}

function scanEvent(cells) {
  return Q.event(Q.isoDateTime(cells[0]), cells[1], Q.join(cells[3], cells[4]));
}

function itemOf(task, scans) {
  var events = scans.map(scanEvent).filter(function(event) { return event.date && event.text; });
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
  var scans = response.status === 200 ? scanCells(response.text) : undefined;
  if (scans) {
    if (!scans.length) return task.notFound(undefined, links(task));
    var item = itemOf(task, scans);
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
        API + '?' + query(task.number), undefined, {cache: false},
        function(response) { answer(task, response); });
  }
});
