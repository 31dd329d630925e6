// Correos: the search service that the "Localizador" page of correos.es reads. It answers
// JSON without an account.
//
// Sources, read 2026-12-08: public tracking projects that call the digital-services
// "searchengines" address with text, language and searchType=envio (the Go trackers
// "marvin" and "hermes", a Next.js tracker, Python tracking scripts), which describe the
// answer's "shipment" list with "shipmentCode" and "events" (eventDate "dd/mm/yyyy",
// eventTime, phase 1 pre-admission / 2 on the way / 3 out for delivery / 4 delivered,
// summaryText, extendedText), and the empty 204 answer for a number Correos does not know.

var KEY = 'www.correos.es';
var API =
    'https://api1.correos.es/digital-services/searchengines/api/v1/?language=EN&searchType=envio&text=';
var PAGE = 'https://www.correos.es/es/es/herramientas/localizador/envios/detalle?tracking-number=';

var PHASES = {'1': 'pending', '2': 'transit', '3': 'out', '4': 'delivered'};
// A returned or undeliverable shipment reads so in the event text, whatever its phase.
var EXCEPTION_TEXT = /devuelto|devoluci[oó]n|returned to (the )?sender|return(ing)? to origin/i;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function shipment(task, entry, several) {
  var rows = Q.array(entry.events).filter(function(row) { return row && typeof row === 'object'; });
  var dated = rows.map(function(
      row) { return {row: row, date: Q.isoDateTime(row.eventDate, row.eventTime || '0000')}; });
  dated.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var events = dated.map(function(
      entry) { return Q.event(entry.date, entry.row.summaryText || entry.row.extendedText); });
  var newest = (dated[0] || {}).row || {};
  var text = Q.string(newest.summaryText) + ' ' + Q.string(newest.extendedText);
  var current = EXCEPTION_TEXT.test(text) ? 'exception' : PHASES[Q.trim(newest.phase)] || 'transit';
  var latest = events[0] || {};
  return Q.trackingItem(task.pieceName(Q.trim(entry.shipmentCode), several), {
    state: current,
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  // Correos answers a number it does not know with 204 and nothing in it.
  if (response.status === 204 || response.status === 404 ||
      (response.status === 200 && Q.trim(response.text) === ''))
    return task.notFound(undefined, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    var shipments = Q.array(body.shipment).filter(function(entry) {
      return entry && typeof entry === 'object' && Q.array(entry.events).length;
    });
    if (!shipments.length) return task.notFound(undefined, links(task));
    var items =
        shipments.map(function(entry) { return shipment(task, entry, shipments.length > 1); });
    return task.found(items, links(task));
  }
  problem(task, response);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number), undefined,
        {cache: false, referer: 'https://www.correos.es/', headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
