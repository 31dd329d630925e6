// Spee-Dee Delivery: the shipment page that speedeedelivery.com's tracking page embeds. It is
// HTML, read row by row; no account is needed.
//
// Sources (read 2026-12-08): public tracking projects that read this page and describe it: the
// scans are the rows of the table inside the element with id "frameBody", newest first; the
// second cell holds the state in <strong> ("Delivered", "Out for Delivery", "In transit",
// "PICKED UP", "SHIPMENT INFORMATION SENT TO PILOT", ...), the fourth the date and time.
var KEY = 'www.speedeedelivery.com';
var API = 'https://packages.speedeedelivery.com/track_shipment.php?barcodes=';
var PAGE = 'https://speedeedelivery.com/track-a-shipment/?v=detail&barcode=';

var FRAME = /id\s*=\s*["']frameBody["']/i;
var STATUS_CELL = 1;
var TIME_CELL = 3;
var ANNOUNCED = /^(SHIPMENT INFORMATION SENT|WAITING FOR PICKUP)/i;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// The scan rows of the page, each as the cells' HTML; undefined when the page has no frame or
// ends before its table does.
function scanRows(html) {
  var start = html.search(FRAME);
  if (start < 0) return undefined;
  var frame = html.slice(start);
  // A page cut short would show its first scans as the whole history.
  var end = frame.search(/<\/table>/i);
  if (end < 0) return undefined;
  return Q.tableRows(frame, function(cell) { return cell; })
      .filter(function(cells) { return cells.length > TIME_CELL; });
}

// "12/04/2023 2:15 PM" as the page writes it, month first.
function scanTime(text) {
  var match = /^(\d{1,2}\/\d{1,2}\/\d{2,4})\s+(.+)$/.exec(text);
  if (match) return Q.isoDateTime(match[1] + ' ' + (Q.isoTime(match[2]) || ''), undefined, 'mdy');
  return Q.isoDateTime(text, undefined, 'mdy');
}

function rowEvent(cells) {
  var strong = /<strong\b[^>]*>([\s\S]*?)<\/strong>/i.exec(cells[STATUS_CELL]);
  return Q.event(
      scanTime(Q.text(cells[TIME_CELL])), Q.text(strong ? strong[1] : cells[STATUS_CELL]));
}

function shipmentItem(task, rows) {
  var events = rows.map(rowEvent).filter(function(event) { return event.text; });
  // The page lists the newest scan first; its state is the shipment's.
  var current = (events[0] || {}).text || '';
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  return Q.trackingItem(task.itemName, {
    state: /delivered/i.test(current) ? 'delivered' :
        ANNOUNCED.test(current)       ? 'pending' :
                                        'transit',
    status: current || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var rows = response.status === 200 ? scanRows(response.text) : undefined;
  if (rows) {
    if (!rows.length) return task.notFound(undefined, links(task));
    var item = shipmentItem(task, rows);
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
        API + encodeURIComponent(task.number), undefined, {cache: false},
        function(response) { answer(task, response); });
  }
});
