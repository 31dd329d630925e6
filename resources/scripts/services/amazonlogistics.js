// Amazon Logistics (TBA numbers): the tracker service that track.amazon.com's page reads. It
// needs no Amazon account for a TBA number.
//
// Sources (read 2026-12-08): a public package-tracking project that calls this endpoint and
// documents a full answer: progressTracker and eventHistory arrive as JSON texts inside the
// JSON answer; progressTracker holds summary.status, summary.metadata.trackingStatus,
// expectedDeliveryDate and errors; eventHistory.eventHistory[] holds eventCode, eventTime (UTC)
// and location.city/stateProvince/countryCode, oldest first.
var KEY = 'track.amazon.com';
var API = 'https://track.amazon.com/api/tracker/';
var PAGE = 'https://track.amazon.com/tracking/';

var EXCEPTION_CODES = ['DeliveryAttempted', 'Undeliverable', 'ReturnToSender', 'Rejected'];

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// The inner answers come as JSON texts; an object in their place is taken as it is.
function inner(value) {
  if (value && typeof value === 'object') return value;
  return Q.json(value);
}

// Times are UTC ("2021-06-08T21:41:45.000Z"): shown in the user's own time, since the scan's
// place has no time zone in the answer.
function utcDateTime(value) {
  var text = Q.trim(value);
  if (!/^\d{4}-\d\d-\d\dT\d\d:\d\d(:\d\d(\.\d+)?)?Z$/.test(text)) return Q.isoDateTime(text);
  var date = new Date(text);
  return isNaN(date.getTime()) ? undefined : Q.isoDateTime(date);
}

// "OutForDelivery" → "Out for delivery".
function codeText(code) {
  var words = Q.trim(code).replace(/([a-z])([A-Z])/g, '$1 $2').toLowerCase();
  return words.charAt(0).toUpperCase() + words.slice(1);
}

function historyEvent(entry) {
  var place = entry.location && typeof entry.location === 'object' ? entry.location : {};
  return Q.event(
      utcDateTime(entry.eventTime), codeText(entry.eventCode),
      Q.join(Q.capitalize(place.city), place.stateProvince));
}

function packageItem(task, tracker, history) {
  var entries = history.filter(function(entry) { return entry && typeof entry === 'object'; });
  var events = entries.map(historyEvent);
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var newestCode = '';
  var newestTime = '';
  entries.forEach(function(entry) {
    var time = utcDateTime(entry.eventTime) || '';
    if (time >= newestTime) {
      newestTime = time;
      newestCode = Q.trim(entry.eventCode);
    }
  });
  var latest = events[0] || {};
  var status = Q.trim(Q.get(tracker, 'summary', 'status'));
  var trackingStatus =
      Q.trim(Q.get(tracker, 'summary', 'metadata', 'trackingStatus', 'stringValue')).toUpperCase();
  var delivered =
      trackingStatus === 'DELIVERED' || /^delivered$/i.test(status) || newestCode === 'Delivered';
  return Q.trackingItem(task.itemName, {
    state: delivered                             ? 'delivered' :
        EXCEPTION_CODES.indexOf(newestCode) >= 0 ? 'exception' :
        events.length                            ? 'transit' :
                                                   'pending',
    status: latest.text || status,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: utcDateTime(Q.get(tracker, 'summary', 'metadata', 'deliveryDate', 'date')),
    expected: delivered ? undefined : Q.isoDay(utcDateTime(tracker.expectedDeliveryDate)),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  var tracker = body && typeof body === 'object' ? inner(body.progressTracker) : undefined;
  if (response.status === 200 && tracker && typeof tracker === 'object') {
    // An unknown number answers with errors instead of a summary.
    if (Q.array(tracker.errors).length) return task.notFound(undefined, links(task));
    var history = Q.array(Q.get(inner(body.eventHistory), 'eventHistory'));
    if (!history.length && !Q.get(tracker, 'summary', 'status'))
      return task.notFound(undefined, links(task));
    var item = packageItem(task, tracker, history);
    return task.found([item], links(task));
  }
  if (response.status === 404) return task.notFound(undefined, links(task));
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number), undefined,
        {cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
