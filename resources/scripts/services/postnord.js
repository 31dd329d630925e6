// PostNord (Sweden and Denmark): first the shipment data that PostNord's own site serves its
// tracking page (www.postnord.se/api/shipment/<id>/<language>), which needs no key; when that
// does not answer usably and a key is configured, the developer API "Track and Trace" (v5, by
// identifier). The key comes from the host, which answers "apiKey" for both of PostNord's
// sites. Both answer a tracking information response of shipments, items and events.
//
// Sources: PostNord's developer documentation of Track and Trace v5 (developer.postnord.com:
// findByIdentifier, TrackingInformationResponse, shipments, items, events); public projects
// that read the site's shipment data (response.trackingInformationResponse.shipments[].items[]
// .events[] with eventTime and eventDescription). Checked 2026-12-08.

// What may change when PostNord changes its site or interface.
var PUBLIC_API = 'https://www.postnord.se/api/shipment/';
var LANGUAGE = 'en';
var KEYS = ['www.posten.se', 'www.postdanmark.dk'];
var API = 'https://api2.postnord.com/rest/shipment/v5/trackandtrace/findByIdentifier.json';

var EXCEPTION_STATUSES = ['RETURNED', 'STOPPED', 'DELAYED'];

function pageURL(number) {
  return 'https://tracking.postnord.com/?id=' + encodeURIComponent(number);
}

function placeOf(location) {
  if (!location || typeof location !== 'object') return undefined;
  return Q.trim(location.displayName) || Q.join(location.city || location.name, location.country) ||
      undefined;
}

// One item (parcel) of the shipment; several are told apart by their item IDs.
function parcelItem(task, shipment, item, several) {
  var status = Q.string(item.status || shipment.status).toUpperCase();
  var events = Q.array(item.events || item.event).map(function(event) {
    return Q.event(
        Q.isoDateTime(event.eventTime), event.eventDescription, placeOf(event.location));
  });
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var header = Q.get(item, 'statusText', 'header') || Q.get(shipment, 'statusText', 'header');
  var id = Q.trim(item.itemId);
  return Q.trackingItem(pieceName(task, id, several), {
    state: status === 'DELIVERED'               ? 'delivered' :
        EXCEPTION_STATUSES.indexOf(status) >= 0 ? 'exception' :
        status === 'INFORMED'                   ? 'pending' :
                                                  'transit',
    status: header || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: item.deliveryDate || shipment.deliveryDate,
    expected: Q.isoDay(item.estimatedTimeOfArrival || shipment.estimatedTimeOfArrival),
    location: latest.location,
    history: events
  });
}

// The name of one piece of several: the user's name with the piece's own number, or that
// number alone when the user gave no name.
function pieceName(task, id, several) { return task.pieceName(id, several); }

function isObject(value) { return !!value && typeof value === 'object'; }

// Either source's tracking information: finishes the task and answers true when it says
// something about the number.
function trackingAnswer(task, response, links) {
  var body = Q.json(response.text);
  var answer = Q.get(body, 'TrackingInformationResponse') ||
      Q.get(body, 'response', 'trackingInformationResponse');
  if (response.status === 200 && isObject(answer)) {
    var parcels = [];
    Q.array(answer.shipments).filter(isObject).forEach(function(shipment) {
      var items = Q.array(shipment.items).filter(isObject);
      // A shipment the sender only announced has no items yet; it still is the shipment.
      if (!items.length) items = [{}];
      items.forEach(function(item) { parcels.push({shipment: shipment, item: item}); });
    });
    if (!parcels.length) {
      task.notFound(undefined, links);
      return true;
    }
    task.found(parcels.map(function(parcel) {
      return parcelItem(task, parcel.shipment, parcel.item, parcels.length > 1);
    }), links);
    return true;
  }
  // Faults about the identifier come with 400 and a "compositeFault".
  if ((response.status === 404 && isObject(body)) ||
      (response.status === 400 && Q.get(answer, 'compositeFault'))) {
    task.notFound(undefined, links);
    return true;
  }
  return false;
}

function apiTrack(task, key, links) {
  task.progress(S.fetchingDetails);
  task.request(
      API + '?' + Q.query({apikey: key, id: task.number, locale: 'en'}), undefined,
      {cache: false}, function(response) {
        if (!trackingAnswer(task, response, links)) task.failForResponse(response, links);
      });
}

var module = {
  access: 'keyless',
  credentials: ['apiKey'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var links = task.pageLinks(pageURL);
    task.request(
        PUBLIC_API + encodeURIComponent(task.number) + '/' + LANGUAGE, undefined,
        {cache: false, referer: pageURL(task.number), headers: {Accept: 'application/json'}},
        function(response) {
          if (trackingAnswer(task, response, links)) return;
          if (response.offline) return task.failForResponse(response, links);
          var key = task.credential('apiKey');
          if (key) return apiTrack(task, key, links);
          task.failForResponse(response, links);
        });
  }
};
KEYS.forEach(function(key) { registerService(key, module); });
