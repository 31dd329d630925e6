// La Poste (letters, Colissimo, Chronopost numbers): first the unified tracking data that
// La Poste's own tracking page (www.laposte.fr/outils/suivre-vos-envois) loads, which needs
// no key; when that does not answer usably, the Okapi interface "Suivi v2", to which the host
// adds this installation's Okapi key ("tokenID"). The page is the link either way.
//
// Sources: La Poste's developer documentation of "Suivi v2" (developer.laposte.fr), whose
// shipment object the page's data shares; public projects that read the page's data
// (an array of {returnCode, shipment}) from /ssu/sun/back/suivi-unifie/ with the page as
// referer. Checked 2026-12-08.

// What may change when La Poste changes its site.
var KEY = 'www.laposte.fr';
var PUBLIC_API = 'https://www.laposte.fr/ssu/sun/back/suivi-unifie/';
var API = 'https://api.laposte.fr/suivi/v2/idships/';
var TOKEN_ID = 'api.laposte.fr';
var LANGUAGE = 'en_GB';
var DELIVERED_CODES = ['DI0', 'DI1'];
// Problems, undeliverable, returned, delivered back to the sender.
var EXCEPTION_CODES = ['PB1', 'PB2', 'ND1', 'RE1', 'DI2'];
var ANNOUNCED_CODE = 'DR1';
// Unknown and malformed numbers.
var NOT_FOUND_CODES = [104, 105];

function pageURL(number) {
  return 'https://www.laposte.fr/outils/suivre-vos-envois?code=' + encodeURIComponent(number);
}

function shipmentItem(task, shipment) {
  var events = Q.array(shipment.event).slice();
  // The history reads newest first, whatever order the data used.
  events.sort(function(a, b) { return (Date.parse(b.date) || 0) - (Date.parse(a.date) || 0); });
  var latest = events[0] || {};
  var code = Q.string(latest.code);
  return Q.trackingItem(task.itemName, {
    state: DELIVERED_CODES.indexOf(code) >= 0 ? 'delivered' :
        EXCEPTION_CODES.indexOf(code) >= 0    ? 'exception' :
        code === ANNOUNCED_CODE               ? 'pending' :
                                                'transit',
    status: latest.label,
    statusDate: latest.date,
    firstDate: shipment.entryDate || (events[events.length - 1] || {}).date,
    deliveredDate: shipment.deliveryDate,
    expected: Q.isoDay(shipment.estimDate),
    // La Poste names no places.
    history: events.map(function(event) { return Q.event(Q.isoDateTime(event.date), event.label); })
  });
}

function finishWithShipment(task, shipment, links) {
  var item = shipmentItem(task, shipment);
  // A closed shipment (returned, delivered back) needs no frequent updates either.
  var done = item.icon === 'checkmark' || shipment.isFinal === true;
  var fields = Object.assign({}, links, {
    items: [item],
    interval: done ? Q.interval('delivered') : Q.itemsInterval([item])
  });
  task.finish(Q.results(2, fields));
}

function isNotFound(response, body) {
  return response.status === 404 ||
      (response.status === 400 && Q.get(body, 'returnCode') !== undefined) ||
      NOT_FOUND_CODES.indexOf(Number(Q.get(body, 'returnCode'))) >= 0;
}

// The page's data: finishes the task and answers true when it says something about the number.
function publicAnswer(task, response, links) {
  var body = Q.json(response.text);
  var entry = Array.isArray(body) ? body[0] : body;
  var shipment = Q.get(entry, 'shipment');
  if (response.status === 200 && shipment && typeof shipment === 'object') {
    finishWithShipment(task, shipment, links);
    return true;
  }
  if (entry && typeof entry === 'object' && isNotFound(response, entry)) {
    task.notFound(undefined, links);
    return true;
  }
  return false;
}

function apiAnswer(task, response, links, first) {
  var body = Q.json(response.text);
  var shipment = Q.get(body, 'shipment');
  if (response.status === 200 && shipment && typeof shipment === 'object')
    return finishWithShipment(task, shipment, links);
  if (body && isNotFound(response, body)) return task.notFound(undefined, links);
  // Okapi refuses requests without a key, and the host sends none when this installation has
  // none: what went wrong is what the page's data answered.
  if (response.status === 401) return task.failForResponse(first, links);
  task.failForResponse(response, links);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var links = task.pageLinks(pageURL);
    task.request(
        PUBLIC_API + encodeURIComponent(task.number) + '?lang=' + LANGUAGE, undefined,
        {cache: false, referer: pageURL(task.number), headers: {Accept: 'application/json'}},
        function(response) {
          if (publicAnswer(task, response, links)) return;
          if (response.offline) return task.failForResponse(response, links);
          // The page's data refused or failed: the developer interface is the second path.
          task.progress(S.fetchingDetails);
          task.request(
              API + encodeURIComponent(task.number) + '?lang=' + LANGUAGE, undefined,
              {cache: false, tokenID: TOKEN_ID, headers: {Accept: 'application/json'}},
              function(second) { apiAnswer(task, second, links, response); });
        });
  }
});
