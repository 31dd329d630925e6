// DPD UK: the tracking service that DPD UK's own tracking page reads. The page first turns
// the parcel number into DPD's parcel code, then asks for that parcel's events; neither call
// needs an account. The recipient's postcode, when the user gave one, is passed on as the
// page does.
//
// Sources, read 2026-12-08: the public parcel-tracking project "parcel-tracker"
// (DpdUkDeliveryService, Android), a TypeScript carrier adapter and several public tracking
// scripts, which describe apis.track.dpd.co.uk: "reference" with origin, postcode and
// referenceNumber answering "data" (parcelNumber, parcelCode, parcelStatus) or a 404
// "error", and "parcels/<code>/parcelevents" answering "data" newest first (eventCode,
// eventDate "YYYY-MM-DD HH:MM:SS", eventText, eventLocation).

var KEY = 'www.dpd.co.uk';
var API = 'https://apis.track.dpd.co.uk/v1/';
var PAGE = 'https://track.dpd.co.uk/search?reference=';

// eventCode values, and the wording of the same steps for scans that carry no code.
var DELIVERED_CODE = '001';
var OUT_CODE = '015';
var ANNOUNCED_CODE = '000';
var DELIVERED_TEXT = /^(your|the) parcel has been delivered|left in safe place/i;
var OUT_TEXT = /with you today|on the vehicle for delivery/i;
var ANNOUNCED_TEXT = /received your order details, but have not yet received your parcel/i;
var EXCEPTION_TEXT = /delivery has been cancelled|return(ed)? to (the )?sender/i;

function state(code, text) {
  if (code === DELIVERED_CODE || (!code && DELIVERED_TEXT.test(text))) return 'delivered';
  if (EXCEPTION_TEXT.test(text)) return 'exception';
  if (code === OUT_CODE || OUT_TEXT.test(text)) return 'out';
  if (code === ANNOUNCED_CODE || ANNOUNCED_TEXT.test(text)) return 'pending';
  return 'transit';
}

// The printed number may end in a check character that the service does not take.
function parcelNumber(number) {
  return /^\d{14}[0-9A-Z]$/.test(number) ? number.slice(0, 14) : number;
}

function webURL(number) { return PAGE + encodeURIComponent(parcelNumber(number)); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function eventsAnswer(task, parcel, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && Array.isArray(body.data)) {
    var rows = body.data.filter(function(row) { return row && typeof row === 'object'; });
    if (!rows.length) return task.notFound(undefined, links(task));
    // The service lists the scans newest first; a stable sort keeps that order for scans of
    // the same second.
    var events =
        rows.map(function(row) { return Q.event(Q.isoDateTime(row.eventDate), row.eventText); });
    var indexed = events.map(function(event, index) { return {event: event, index: index}; });
    indexed.sort(function(a, b) {
      var left = a.event.date || '', right = b.event.date || '';
      return right < left ? -1 : (right > left ? 1 : a.index - b.index);
    });
    var newest = rows[indexed[0].index];
    events = indexed.map(function(entry) { return entry.event; });
    var latest = events[0];
    var current = state(Q.trim(newest.eventCode), Q.string(newest.eventText));
    var item = Q.trackingItem(task.itemName, {
      state: current,
      status: latest.text || parcel.parcelStatus,
      statusDate: latest.date,
      firstDate: events[events.length - 1].date,
      history: events
    });
    return task.found([item], links(task));
  }
  problem(task, response);
}

function referenceAnswer(task, response) {
  if (response.offline) return problem(task, response);
  // An unknown reference comes back as 404 with an "error" object.
  if (response.status === 404 || response.status === 410)
    return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && Array.isArray(body.data)) {
    var number = parcelNumber(task.number);
    var parcels = body.data.filter(function(entry) {
      return entry && typeof entry === 'object' && Q.trim(entry.parcelCode) &&
          parcelNumber(Q.string(entry.parcelNumber).replace(/\s+/g, '').toUpperCase()) === number;
    });
    if (!parcels.length) return task.notFound(undefined, links(task));
    var parcel = parcels[0];
    task.progress(S.fetchingDetails);
    return task.request(
        API + 'parcels/' + encodeURIComponent(Q.trim(parcel.parcelCode)) + '/parcelevents',
        undefined, {cache: false, headers: {'Accept': 'application/json'}},
        function(next) { eventsAnswer(task, parcel, next); });
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    var query = Q.query({
      origin: 'PRTK',
      postcode: task.extra.toUpperCase(),
      referenceNumber: parcelNumber(task.number)
    });
    task.request(
        API + 'reference?' + query, undefined,
        {cache: false, headers: {'Accept': 'application/json'}},
        function(response) { referenceAnswer(task, response); });
  }
});
