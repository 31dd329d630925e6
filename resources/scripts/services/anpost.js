// An Post: the public track-and-trace service that An Post's own tracking page calls. The
// call carries the subscription key the public page itself sends to every visitor; the
// user needs no account.
//
// Sources, read 2026-12-08: the public parcel-tracking project "parcel-tracker"
// (AnPostDeliveryService, Android), which describes the "ttservice-public-apweb/GetEvents"
// call with its JSON body {"getEvents": {"barcodeItem": …}}, the page's subscription key
// header, and the answer "getEventsResponse.GetEventsResult" newest first (activity, date,
// location, reason, traceCode: 35 announced, 4 out for delivery, 13 a failed attempt, 14
// delivered).

var KEY = 'www.anpost.com';
var API = 'https://apim-anpost-apwebapis.anpost.com/ttservice-public-apweb/GetEvents';
// The key An Post's tracking page sends with the call.
var PAGE_KEY = '01b0162771e941639046a97936f72e95';
var PAGE = 'https://www.anpost.com/Post-Parcels/Track?item=';

var DELIVERED = 14;
var OUT = 4;
var FAILED_ATTEMPT = 13;
var ANNOUNCED = 35;

function state(code) {
  if (code === DELIVERED) return 'delivered';
  if (code === OUT) return 'out';
  if (code === FAILED_ATTEMPT) return 'exception';
  if (code === ANNOUNCED) return 'pending';
  return 'transit';
}

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  var results = Q.get(body, 'getEventsResponse', 'GetEventsResult');
  var envelope = Q.get(body, 'getEventsResponse');
  if (response.status === 200 && envelope && typeof envelope === 'object' &&
      (Array.isArray(results) || results === undefined)) {
    var rows = Q.array(results).filter(function(row) { return row && typeof row === 'object'; });
    if (!rows.length) return task.notFound(undefined, links(task));
    rows.sort(function(a, b) {
      var left = Q.isoDateTime(a.date) || '', right = Q.isoDateTime(b.date) || '';
      return right < left ? -1 : (right > left ? 1 : 0);
    });
    var events = rows.map(function(row) {
      return Q.event(Q.isoDateTime(row.date), row.activity, Q.capitalize(row.location));
    });
    var latest = events[0];
    var item = Q.trackingItem(task.itemName, {
      state: state(Number(rows[0].traceCode)),
      status: latest.text,
      statusDate: latest.date,
      firstDate: events[events.length - 1].date,
      location: latest.location,
      history: events
    });
    return task.found([item], links(task));
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API, JSON.stringify({getEvents: {barcodeItem: task.number}}), {
          cache: false,
          postType: 'application/json',
          headers: {'Accept': 'application/json', 'Ocp-Apim-Subscription-Key': PAGE_KEY}
        },
        function(response) { answer(task, response); });
  }
});
