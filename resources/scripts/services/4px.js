// 4PX: the track list service that track.4px.com's own page posts to. No account is needed.
//
// Sources (read 2026-12-08): public tracking projects, a Home Assistant integration and their
// fixture notes that call this endpoint and describe its answer (result 1 on success;
// data[].queryCode, status, tracks[] with tkCode, tkDesc, tkLocation, tkTimezone, tkDateStr
// "yyyy-MM-dd HH:mm:ss" at the scan's place, newest first; tracks null and status 7 for a
// number 4PX does not know; a newest tkCode starting with FPX_S_OK once delivered).
var KEY = 'www.4px.com';
var API = 'https://track.4px.com/track/v2/front/listTrackV3';
var PAGE = 'https://track.4px.com/#/details/';

var DELIVERED_PREFIX = 'FPX_S_OK';

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

function trackEvent(track) {
  var event = Q.event(
      Q.isoDateTime(track.tkDateStr), track.tkDesc || track.tkTranslatedDesc,
      Q.capitalize(track.tkLocation));
  event.code = Q.trim(track.tkCode).toUpperCase();
  // Scans from several time zones are put in order by their UTC time when it is there.
  event.order = /^\d{4}-\d\d-\d\dT/.test(Q.trim(track.tkDate)) ? Q.trim(track.tkDate) : event.date;
  return event;
}

function byNewest(a, b) {
  var left = a.order || '', right = b.order || '';
  return right < left ? -1 : (right > left ? 1 : 0);
}

function shipmentItem(task, tracks) {
  var scans = tracks.map(trackEvent);
  scans.sort(byNewest);
  var code = (scans[0] || {}).code || '';
  var events = scans.map(function(scan) { return Q.event(scan.date, scan.text, scan.location); });
  var latest = events[0] || {};
  var delivered = code.indexOf(DELIVERED_PREFIX) === 0;
  return Q.trackingItem(task.itemName, {
    state: delivered ? 'delivered' : 'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: latest.location,
    history: events
  });
}

// The shipment the number names: 4PX answers for its own, the shipper's and the last-mile code.
function matching(shipments, number) {
  for (var i = 0; i < shipments.length; i++) {
    var codes = [shipments[i].queryCode, shipments[i].serverCode, shipments[i].shipperCode].concat(
        Q.array(shipments[i].hawbCodeSet));
    for (var j = 0; j < codes.length; j++) {
      if (Q.trim(codes[j]).toUpperCase() === number) return shipments[i];
    }
  }
  return shipments.length === 1 ? shipments[0] : undefined;
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && Number(body.result) === 1) {
    var shipments =
        Q.array(body.data).filter(function(entry) { return entry && typeof entry === 'object'; });
    var shipment = matching(shipments, task.number);
    var tracks = Q.array(shipment && shipment.tracks).filter(function(track) {
      return track && typeof track === 'object' && (track.tkDesc || track.tkTranslatedDesc);
    });
    if (!tracks.length) return task.notFound(undefined, links(task));
    var item = shipmentItem(task, tracks);
    return task.found([item], links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    var body = {queryCodes: [task.number], language: 'en-us', translateLanguage: ''};
    task.request(
        API, JSON.stringify(body),
        {postType: 'application/json', cache: false, headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
