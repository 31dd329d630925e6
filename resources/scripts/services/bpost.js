// bpost: the public track-and-trace service that bpost's own tracking page reads. It answers
// JSON without an account; the recipient's postal code, when the user gave one, is passed on
// as the page does.
//
// Sources, read 2026-12-08: the public Home Assistant integration "ha-bpost" (its public
// tracking client and bpost's status vocabulary) and a TypeScript carrier adapter, which
// describe the track/items address with "itemIdentifier" and "postalCode", the answer's
// "items" (itemCode, events with date, time, key.EN.description and location.locationName,
// activeStep.knownProcessStep, actualDeliveryInformation, expectedDeliveryTimeRange), and
// the not-found answers (an empty "items" list or "error": "NO_DATA_FOUND").

var KEY = 'www.bpost.be';
var API = 'https://track.bpost.cloud/track/items';
var PAGE = 'https://track.bpost.cloud/btr/web/#/search?lang=en&itemCode=';

// activeStep.knownProcessStep codes. The return leg (BTS_, RETOUR_, to the sender) is an
// exception for the recipient even once it has reached the sender.
var RETURN = /^(BTS_|RETOUR_|RETURN_TO_SENDER)|SENDER/;
var PROBLEM =
    /^(AWAITING_CUSTOMS_PAYMENT|CUSTOMS_PAYMENT_(CHALLENGED|EXPIRED|REFUSED)|EXCEPTION|REDELIVERY_NO_PICKUP)$/;
var DELIVERED = /^(DELIVERED|PICKED_UP)/;
var OUT = /^(ON_THE_WAY_TO_|OUT_FOR_DELIVERY)/i;
var ANNOUNCED = /^(IN_PREPARATION|PREPARATION|PENDING_APPROVAL$|STATUS_PENDING$|mpcPrinted$)/;

function state(code, deliveredDay) {
  if (RETURN.test(code) || PROBLEM.test(code)) return 'exception';
  if (DELIVERED.test(code) || deliveredDay) return 'delivered';
  if (OUT.test(code)) return 'out';
  if (ANNOUNCED.test(code)) return 'pending';
  return 'transit';
}

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function newestFirst(events) {
  return events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
}

function parcel(task, entry) {
  var events = newestFirst(Q.array(entry.events).map(function(event) {
    event = event || {};
    return Q.event(
        Q.isoDateTime(event.date, event.time), Q.get(event, 'key', 'EN', 'description'),
        Q.join(Q.get(event, 'location', 'locationName'), Q.get(event, 'location', 'countryCode')));
  }));
  var latest = events[0] || {};
  var deliveredDay =
      Q.isoDay(Q.get(entry, 'actualDeliveryInformation', 'actualDeliveryTime', 'day'));
  var code = Q.string(Q.get(entry, 'activeStep', 'knownProcessStep'));
  var current = state(code, RETURN.test(code) ? undefined : deliveredDay);
  var expected = Q.get(entry, 'expectedDeliveryTimeRange', 'time1');
  return Q.trackingItem(task.itemName, {
    state: current,
    status: Q.get(entry, 'activeStep', 'label', 'main', 'EN') || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: deliveredDay,
    expected: current === 'delivered' ? undefined : Q.isoDay(expected),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    if (body.error === 'NO_DATA_FOUND') return task.notFound(undefined, links(task));
    if (Array.isArray(body.items)) {
      var items = body.items.filter(function(entry) {
        return entry && typeof entry === 'object' &&
            (Q.trim(entry.itemCode).toUpperCase() === task.number ||
             Q.trim(entry.searchCode).toUpperCase() === task.number);
      });
      if (!body.items.length) return task.notFound(undefined, links(task));
      if (items.length) {
        var item = parcel(task, items[0]);
        return task.found([item], links(task));
      }
    }
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    var query = Q.query({itemIdentifier: task.number, postalCode: task.extra.toUpperCase()});
    task.request(
        API + '?' + query, undefined, {cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
