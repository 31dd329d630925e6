// Landmark Global: the tracking page of track.landmarkglobal.com, which the server renders
// with the parcel's history in it. It needs no account.
//
// Sources, read 2026-12-08: a TypeScript carrier adapter with its tests, which describes the
// page address with "search" and "lang", the history table (".event-summary .event-table
// table" with the columns Description, Date/Time and Location; each time cell carries
// data-time "yyyy-MM-dd HH:mm:ss"; newest first), the summary ".current-status" (its h2
// "Returned" once a parcel went back), and the page's text for a reference it does not know
// ("We couldn't find a match for this value. Please try a different value.").

var KEY = 'www.landmarkglobal.com';
var PAGE = 'https://track.landmarkglobal.com/?lang=en&search=';

var ABSENT = /We couldn.t find a match for this value/i;
var DELIVERED_TEXT = /\bdelivered\b/i;
var RETURNED_TEXT = /return(ed)? to (the )?sender/i;
var OUT_TEXT = /out for delivery/i;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function state(text, returned) {
  if (returned || RETURNED_TEXT.test(text)) return 'exception';
  if (DELIVERED_TEXT.test(text)) return 'delivered';
  if (OUT_TEXT.test(text)) return 'out';
  return 'transit';
}

// The rows of the history table, each {text, date, location}.
function history(html) {
  var start = html.search(/class="[^"]*\bevent-table\b/);
  if (start < 0) return [];
  var table = /<table\b[\s\S]*?<\/table>/i.exec(html.slice(start));
  if (!table) return [];
  var body = /<tbody\b[^>]*>([\s\S]*?)<\/tbody>/i.exec(table[0]);
  if (!body) return [];
  var result = [];
  var rows = Q.tableRows(
      body[1], function(cell, attributes) { return {attributes: attributes, text: Q.text(cell)}; });
  rows.forEach(function(cells) {
    if (cells.length !== 3 || !cells[0].text) return;
    var stamp = /data-time="([^"]*)"/.exec(cells[1].attributes);
    result.push(
        Q.event(Q.isoDateTime(stamp ? stamp[1] : cells[1].text), cells[0].text, cells[2].text));
  });
  return result;
}

function answer(task, response) {
  if (response.offline || response.status !== 200) return problem(task, response);
  var html = response.text.replace(/<(script|style|noscript)\b[\s\S]*?<\/\1\s*>/gi, ' ');
  // A page cut off on the way would show a shortened history as if it were all there.
  if (!/<\/html\s*>/i.test(html)) return problem(task, response);
  var events = history(html);
  if (!events.length) {
    if (ABSENT.test(html)) return task.notFound(undefined, links(task));
    return problem(task, response);
  }
  var indexed = events.map(function(event, index) { return {event: event, index: index}; });
  indexed.sort(function(a, b) {
    var left = a.event.date || '', right = b.event.date || '';
    return right < left ? -1 : (right > left ? 1 : a.index - b.index);
  });
  events = indexed.map(function(entry) { return entry.event; });
  var summary = /class="[^"]*\bcurrent-status\b[^"]*"[^>]*>([\s\S]*?)<\/h2>/.exec(html);
  var returned = summary ? /\bReturned\b/.test(Q.text(summary[1])) : false;
  var latest = events[0];
  var item = Q.trackingItem(task.itemName, {
    state: state(Q.string(latest.text), returned),
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
        webURL(task.number), undefined, {cache: false},
        function(response) { answer(task, response); });
  }
});
