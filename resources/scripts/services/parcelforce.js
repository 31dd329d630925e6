// Parcelforce Worldwide: the track-and-trace page of parcelforce.com, which the server
// renders with the parcel's history in it. It needs no account.
//
// Sources, read 2026-12-08: the public PHP library "ParcelforceTrackingScraper", which
// describes the page address with "trackNumber", the history table's cells
// ("tracking-history-date" dd/mm/yyyy, "tracking-history-time" hh:mm,
// "tracking-history-location", "tracking-history-desc"), and the page's texts for an
// invalid number ("Invalid tracking number") and for a parcel without events yet
// ("currently unable to confirm the status of your parcel").

var KEY = 'www.parcelforce.com';
var PAGE = 'https://www.parcelforce.com/track-trace?trackNumber=';

var INVALID = /Invalid tracking number/i;
var NO_EVENTS = /currently unable to confirm the status of your parcel/i;
var DELIVERED_TEXT = /\bdelivered\b|\bcollected by (the )?recipient\b/i;
var RETURNED_TEXT = /return(ed|ing)? to (the )?sender/i;
var OUT_TEXT = /out for delivery|with (the|our) (driver|courier) for delivery/i;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

// The visible texts of every cell of one class, in page order.
function cells(html, name) {
  var pattern = new RegExp('<td[^>]*class="' + name + '"[^>]*>([\\s\\S]*?)</td>', 'g');
  var result = [];
  var match;
  while ((match = pattern.exec(html))) result.push(Q.text(match[1]));
  return result;
}

function state(text) {
  if (RETURNED_TEXT.test(text)) return 'exception';
  if (DELIVERED_TEXT.test(text)) return 'delivered';
  if (OUT_TEXT.test(text)) return 'out';
  return 'transit';
}

function answer(task, response) {
  if (response.offline || response.status !== 200) return problem(task, response);
  var html = response.text;
  // A page cut off on the way would show a shortened history as if it were all there.
  if (!/<\/html\s*>/i.test(html)) return problem(task, response);
  var dates = cells(html, 'tracking-history-date');
  var times = cells(html, 'tracking-history-time');
  var places = cells(html, 'tracking-history-location');
  var texts = cells(html, 'tracking-history-desc');
  if (!dates.length) {
    if (INVALID.test(html) || NO_EVENTS.test(html)) return task.notFound(undefined, links(task));
    return problem(task, response);
  }
  // Rows whose four cells do not line up mean the page has changed under us.
  if (times.length !== dates.length || texts.length !== dates.length)
    return problem(task, response);
  var events = dates.map(function(
      day,
      index) { return Q.event(Q.isoDateTime(day, times[index]), texts[index], places[index]); });
  if (events.some(function(event) { return !event.date; })) return problem(task, response);
  var indexed = events.map(function(event, index) { return {event: event, index: index}; });
  indexed.sort(function(a, b) {
    var left = a.event.date, right = b.event.date;
    return right < left ? -1 : (right > left ? 1 : a.index - b.index);
  });
  events = indexed.map(function(entry) { return entry.event; });
  var latest = events[0];
  var item = Q.trackingItem(task.itemName, {
    state: state(Q.string(latest.text)),
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
