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

function lpLinks(task) {
  var url = lpWebURL(task.number);
  return {url: url, mobileURL: url};
}

// Tracking needs credentials this installation does not have: the public page is the answer.
function lpOpenWebPage(task) {
  var fields = lpLinks(task);
  fields.items = [Q.item({itemName: task.itemName, icon: 'box', shippedText: S.openWebPage})];
  fields.interval = Q.interval('unsupported');
  task.finish(Q.results(1, fields));
}

// One tracking item, read the same way as the other carriers' items. While the piece
// travels, the status line carries the latest state so that a new state reads as changed
// text; once delivered it shows the shipping day.
//   info.state  "delivered", "transit", "pending" (announced, not yet handed over), "exception"
function lpItem(name, info) {
  var delivered = info.state === 'delivered';
  var statusDay = Q.isoDay(info.statusDate);
  var deliveredDay = Q.isoDay(info.deliveredDate) || statusDay;
  var fallback = {pending: S.labelCreated, exception: S.exception}[info.state] || S.inTransit;
  var statusText = Q.trim(Q.string(info.status).replace(/%@/g, '')) || fallback;
  return Q.item({
    itemName: name,
    icon: {delivered: 'checkmark', pending: 'box', exception: 'warning'}[info.state] || 'truck',
    shippedText: delivered ? S.shipped : (statusDay ? statusText + ' %@' : statusText),
    shippedDateString: delivered ? (Q.isoDay(info.firstDate) || deliveredDay) : statusDay,
    deliveredText: delivered ? S.delivered : (info.expected ? S.expected : undefined),
    deliveredDateString: delivered ? deliveredDay : info.expected,
    dateString: delivered ? deliveredDay : (info.expected || statusDay),
    statusDateString: statusDay,
    location: info.location || undefined,
    history: info.history
  });
}

// How soon to ask again: every piece delivered, every piece only announced, or moving.
function lpInterval(items) {
  var all = function(icon) { return items.every(function(item) { return item.icon === icon; }); };
  return Q.interval(all('checkmark') ? 'delivered' : all('box') ? 'pending' : 'transit');
}

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

function lpProblem(task, response) {
  var links = lpLinks(task);
  if (response.status === 401 || response.status === 403)
    return task.fail(S.credentialsRejected, links);
  if (response.offline) return task.fail(S.offline, links);
  if (response.status === 0) return task.fail(S.failed, links);
  if (response.status === 429) return task.fail(S.rateLimited, links);
  if (response.status >= 500) return task.fail(Q.format(S.serverError, response.status), links);
  task.fail(S.unreadable, links);
}

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
