// Packeta (Zásilkovna): the service that Packeta's own tracking page (tracking.packeta.com)
// calls. It answers JSON without an account.
//
// Sources, read 2026-12-08: the public parcel-tracking project "parcel-tracker"
// (PacketaDeliveryService, Android, read from the page's own script), which describes the
// "api/getPacketById/<id>/<language>" call (the number's digits without the leading Z), the
// answer "item" (barcode, packetStatusId, trackingDetails oldest first with text and time
// "YYYY-MM-DD HH:MM:SS"), 400 or 404 for an unknown number, and the page's status ids
// (1 waiting for delivery, 2 ready for pickup, 3 handed over, 21 lost, 31 on the way).

var KEY = 'www.packeta.com';
var API = 'https://tracking.packeta.com/api/getPacketById/';
var LANGUAGE = 'en';
var PAGE = 'https://tracking.packeta.com/en/?id=';

var DELIVERED = '3';
var LOST = '21';

function state(code) {
  if (code === DELIVERED) return 'delivered';
  if (code === LOST) return 'exception';
  return 'transit';
}

// "Z 123 4567 890" → "1234567890": the service takes the digits alone.
function packetID(number) { return number.replace(/^Z/i, '').replace(/\D/g, ''); }

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 400 || response.status === 404)
    return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  var packet = Q.get(body, 'item');
  if (response.status === 200 && packet && typeof packet === 'object') {
    var rows = Q.array(packet.trackingDetails)
                   .filter(function(row) { return row && typeof row === 'object'; });
    if (!rows.length) return task.notFound(undefined, links(task));
    var events = rows.map(function(row) { return Q.event(Q.isoDateTime(row.time), row.text); });
    events.sort(function(a, b) {
      var left = a.date || '', right = b.date || '';
      return right < left ? -1 : (right > left ? 1 : 0);
    });
    var latest = events[0];
    var item = Q.trackingItem(task.itemName, {
      state: state(Q.string(packet.packetStatusId)),
      status: latest.text,
      statusDate: latest.date,
      firstDate: events[events.length - 1].date,
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
    var id = packetID(task.number);
    if (!id) return task.notFound(undefined, links(task));
    // The page posts without a body of its own; an empty JSON object stands in for it.
    task.request(
        API + encodeURIComponent(id) + '/' + LANGUAGE, '{}',
        {cache: false, postType: 'application/json', headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
