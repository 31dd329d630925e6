// Korea Post (우체국): the registered-mail trace page of service.epost.go.kr, the page the
// post's own tracking search opens. It is HTML, read row by row; no account is needed. The
// texts come in Korean as the page shows them.
//
// Sources (read 2026-12-08): public Korean tracking projects that read this page and describe
// it: the scans are the rows of "#processTable > tbody", newest last, with the cells date
// ("yyyy.MM.dd"), time ("HH:mm", Korean time), office and state ("배달완료" delivered,
// "미배달" not delivered, "배달준비" out for delivery); no rows for an unknown number.
var KEY = 'www.epost.go.kr';
var API = 'https://service.epost.go.kr/trace.RetrieveDomRigiTraceList.comm?sid1=';
var PAGE = API;
// International items (UPU numbers such as RR123456785KR) are traced on another page, whose
// contents no public source describes: those deliveries are pointed at it.
var INTERNATIONAL_PAGE =
    'https://service.epost.go.kr/trace.RetrieveEmsTraceListList.comm?POST_CODE=';
var INTERNATIONAL = /^[A-Z]{2}\d{9}[A-Z]{2}$/;

var TABLE = /id\s*=\s*["']processTable["']/i;
var DELIVERED = /배달완료/;
var EXCEPTIONS = /미배달|신청취소|접수취소|반송/;

function webURL(number) {
  var digits = number.replace(/-/g, '');
  return (INTERNATIONAL.test(digits) ? INTERNATIONAL_PAGE : PAGE) + encodeURIComponent(digits);
}

function links(task) { return task.pageLinks(webURL); }

// The rows of the scan table as lists of cell texts; undefined when the page has no such table
// or ends before it does.
function scanRows(html) {
  var start = html.search(TABLE);
  if (start < 0) return undefined;
  var table = html.slice(start);
  // A page cut short would show its first scans as the whole history.
  var end = table.search(/<\/table>/i);
  if (end < 0) return undefined;
  return Q.tableRows(table).filter(function(cells) { return cells.length >= 4; });
}

function rowEvent(cells) {
  // A receipt with a parcel photo carries the photo's script in its state cell.
  var state = /^접수 소포 물품 사진/.test(cells[3]) ? '접수' : cells[3];
  return Q.event(Q.isoDateTime(cells[0].replace(/\./g, '-'), cells[1]), state, cells[2]);
}

function mailItem(task, rows) {
  var events = rows.map(rowEvent).filter(function(event) { return event.text; });
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
  var rows = response.status === 200 ? scanRows(response.text) : undefined;
  if (rows) {
    if (!rows.length) return task.notFound(undefined, links(task));
    var item = mailItem(task, rows);
    if (!Q.array(item.history).length) return task.fail(S.unreadable, links(task));
    return task.found([item], links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    if (INTERNATIONAL.test(task.number.replace(/-/g, ''))) return task.offerWebPage(webURL);
    task.request(
        API + encodeURIComponent(task.number.replace(/-/g, '')), undefined, {cache: false},
        function(response) { answer(task, response); });
  }
});
