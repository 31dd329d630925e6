// TNT Australia: consignments are tracked on tnt.com since TNT's Australian site moved there;
// the tracking page reads the shipment service below without any account.
//
// Sources (read 2026-12-08): public tracking projects and browser user scripts that call this
// endpoint and describe its answer ("tracker.output".consignment[].events[] with date (ISO
// with offset), legacyCode, statusDescription, location.city/country; destinationDate;
// "tracker.output".notFound[].input for an unknown number).
var KEY = 'www.tntexpress.com.au';
var API = 'https://www.tnt.com/api/v3/shipment';
var PAGE = 'https://www.tnt.com/express/en_au/site/shipping-tools/tracking.html';

// Event codes: "OK" delivered; partial deliveries and returns need the recipient's attention.
var DELIVERED_CODE = 'OK';
var EXCEPTION_CODES = ['LP', 'RTS'];

function webURL(number) { return PAGE + '?' + Q.query({searchType: 'CON', cons: number}); }

function links(task) { return task.pageLinks(webURL); }

function scanEvent(event) {
  var place = event.location && typeof event.location === 'object' ? event.location : {};
  return Q.event(
      Q.isoDateTime(event.date), event.statusDescription,
      Q.join(Q.capitalize(place.city), place.country));
}

function consignmentItem(task, consignment) {
  var scans = Q.array(consignment.events)
                  .filter(function(event) { return event && typeof event === 'object'; });
  var events = scans.map(scanEvent);
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  // The newest scan decides the state; its code travels beside the text.
  var newest = scans.slice().sort(function(a, b) {
    var left = Q.isoDateTime(a.date) || '', right = Q.isoDateTime(b.date) || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  })[0] ||
      {};
  var code = Q.trim(newest.legacyCode).toUpperCase();
  var latest = events[0] || {};
  var delivered = code === DELIVERED_CODE;
  return Q.trackingItem(task.itemName, {
    state: delivered                       ? 'delivered' :
        EXCEPTION_CODES.indexOf(code) >= 0 ? 'exception' :
                                             'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: delivered ? undefined : Q.isoDay(consignment.destinationDate),
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var output = Q.get(Q.json(response.text), 'tracker.output');
  if (response.status === 200 && output && typeof output === 'object') {
    var consignments = Q.array(output.consignment).filter(function(entry) {
      return entry && typeof entry === 'object' && Q.array(entry.events).length;
    });
    if (!consignments.length) {
      // "notFound" names the number TNT does not know; anything else is no answer at all.
      if (Q.array(output.notFound).length || Q.array(output.consignment).length)
        return task.notFound(undefined, links(task));
      return task.fail(S.unreadable, links(task));
    }
    var item = consignmentItem(task, consignments[0]);
    return task.found([item], links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    var query =
        Q.query({con: task.number, searchType: 'CON', locale: 'en_GB', channel: 'OPENTRACK'});
    task.request(
        API + '?' + query, undefined, {cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
