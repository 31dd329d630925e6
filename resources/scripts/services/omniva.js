// Omniva: the search service of omniva.ee that its tracking page shows. It answers a small
// HTML table without an account.
//
// Sources, read 2026-12-08: public tracking tools that read
// www.omniva.ee/api/search.php with search_barcode and lang (the Android app "Paketin
// seuranta", Telegram bots, React trackers, a shell poller), which describe the answer: a
// page whose body holds one table, one row per event with the event ("Delivery" once
// delivered), its time "dd.MM.yyyy HH:mm" and the place, and no table but a subtitle in
// "orange_font inner_subtitle" when Omniva has no information.

var KEY = 'www.omniva.ee';
var API = 'https://www.omniva.ee/api/search.php?lang=eng&search_barcode=';
var PAGE = 'https://www.omniva.ee/private/track-and-trace?barcode=';

var DELIVERED = /^(delivery|delivered|handed over to the recipient)$/i;
var RETURNED = /return(ed)? to (the )?sender/i;
var NO_INFORMATION = /orange_font inner_subtitle/;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

// The rows of the answer's table body, each as the visible texts of its cells.
function rows(html) {
  var body = /<tbody\b[^>]*>([\s\S]*?)<\/tbody>/i.exec(html);
  if (!body) return [];
  return Q.tableRows(body[1]).filter(function(cells) { return cells.length >= 2; });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status !== 200) return problem(task, response);
  var html = response.text;
  var lines = rows(html);
  // A table that never closed is a cut-off answer, not an unknown number.
  if (!lines.length && /<table\b/i.test(html) && !/<\/table>/i.test(html))
    return problem(task, response);
  if (!lines.length) {
    if (NO_INFORMATION.test(html)) return task.notFound(undefined, links(task));
    return problem(task, response);
  }
  var dated = lines.map(function(cells) { return {cells: cells, date: Q.isoDateTime(cells[1])}; });
  if (!dated.some(function(line) { return line.date; })) return problem(task, response);
  dated.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var events =
      dated.map(function(line) { return Q.event(line.date, line.cells[0], line.cells[2]); });
  var newest = dated[0].cells[0];
  var latest = events[0];
  var item = Q.trackingItem(task.itemName, {
    state: RETURNED.test(newest) ? 'exception' :
        DELIVERED.test(newest)   ? 'delivered' :
                                   'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: events[events.length - 1].date,
    location: latest.location,
    history: events
  });
  task.found([item], links(task));
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
