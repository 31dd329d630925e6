// La Poste: the Okapi tracking interface "Suivi v2", which covers letters, Colissimo and
// Chronopost numbers. The host adds this installation's Okapi key ("tokenID"); without a key
// the interface refuses and the public tracking page is offered.
(function() {
var KEY = 'www.laposte.fr';
var API = 'https://api.laposte.fr/suivi/v2/idships/';
var TOKEN_ID = 'api.laposte.fr';

var DELIVERED_CODES = ['DI0', 'DI1'];
// Problems, undeliverable, returned, delivered back to the sender.
var EXCEPTION_CODES = ['PB1', 'PB2', 'ND1', 'RE1', 'DI2'];

function lpWebURL(number) {
  return 'https://www.laposte.fr/outils/suivre-vos-envois?code=' + encodeURIComponent(number);
}

function lpLinks(task) { return task.pageLinks(lpWebURL); }

function lpOpenWebPage(task) { task.offerWebPage(lpWebURL); }

var lpItem = Q.trackingItem;

var lpInterval = Q.itemsInterval;

function lpShipment(task, shipment) {
  var events = Q.array(shipment.event).slice();
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) { return (Date.parse(b.date) || 0) - (Date.parse(a.date) || 0); });
  var latest = events[0] || {};
  var code = Q.string(latest.code);
  return lpItem(task.itemName, {
    state: DELIVERED_CODES.indexOf(code) >= 0 ? 'delivered' :
        EXCEPTION_CODES.indexOf(code) >= 0    ? 'exception' :
        code === 'DR1'                        ? 'pending' :
                                                'transit',
    status: latest.label,
    statusDate: latest.date,
    firstDate: shipment.entryDate || (events[events.length - 1] || {}).date,
    deliveredDate: shipment.deliveryDate,
    expected: Q.isoDay(shipment.estimDate),
    // The interface names no places.
    history: events.map(function(event) { return Q.event(Q.isoDateTime(event.date), event.label); })
  });
}

function lpProblem(task, response) { task.failForResponse(response, lpLinks(task)); }

function lpAnswer(task, response) {
  if (response.offline) return lpProblem(task, response);
  var body = Q.json(response.text);
  var shipment = Q.get(body, 'shipment');
  if (response.status === 200 && shipment && typeof shipment === 'object') {
    var item = lpShipment(task, shipment);
    // A closed shipment (returned, delivered back) needs no frequent updates either.
    var done = item.icon === 'checkmark' || shipment.isFinal === true;
    return task.finish(Q.results(2, Object.assign(lpLinks(task), {
      items: [item],
      interval: done ? Q.interval('delivered') : lpInterval([item])
    })));
  }
  // 404 with returnCode 104 or 105: unknown number; 400: not a number the service knows.
  if (response.status === 404 || (response.status === 400 && Q.get(body, 'returnCode')))
    return task.notFound(undefined, lpLinks(task));
  // Okapi refuses requests without a key, and the host sends none when this installation
  // has no key configured: the public page is all there is.
  if (response.status === 401) return lpOpenWebPage(task);
  lpProblem(task, response);
}

registerService(KEY, {
  webURL: function(task) { return lpWebURL(task.number); },
  track: function(task) {
    task.request(
        API + encodeURIComponent(task.number) + '?lang=en_GB', undefined,
        {cache: false, tokenID: TOKEN_ID, headers: {'Accept': 'application/json'}},
        function(response) { lpAnswer(task, response); });
  }
});
})();
