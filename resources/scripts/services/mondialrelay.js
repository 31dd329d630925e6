// Mondial Relay: the tracking service that Mondial Relay's own tracking page
// (mondialrelay.fr/suivi-de-colis) calls. The page carries a verification token that the
// call must send back, so the module reads the page first, then asks for the shipment; no
// account is needed. An eight-digit shipment number is looked up with the recipient's
// postal code, as on the page.
//
// Sources, read 2026-12-08: a TypeScript carrier adapter with its tests, Mondial Relay's
// permalink documentation it quotes, and a Rust tracker, which describe the page's
// '<div id="tracking" token="…">', the "api/tracking" call with shipment, postcode, brand
// and codePays and the "RequestVerificationToken" header, and the answer: "Expedition"
// (Numero, SuiviContextuel, Evenements with Date and Libelle) or "status" with a warning
// for a shipment that does not exist.

var KEY = 'www.mondialrelay.fr';
var PAGE = 'https://www.mondialrelay.fr/suivi-de-colis/';
var API = 'https://www.mondialrelay.fr/api/tracking';
var COUNTRY = 'fr';
var TOKEN = /<div\b[^>]*\bid="tracking"[^>]*\btoken="([^"]+)"/i;

// The carrier's French wording of the states that matter.
var DELIVERED_TEXT = /livr[ée] au destinataire|remis au destinataire|a [ée]t[ée] livr[ée]/i;
var RETURNED_TEXT = /retourn[ée] [àa] l'exp[ée]diteur/i;
var FAILED_TEXT = /[ée]chec de livraison/i;
var ANNOUNCED_TEXT = /en pr[ée]paration chez l'exp[ée]diteur/i;

function state(text) {
  if (RETURNED_TEXT.test(text) || FAILED_TEXT.test(text)) return 'exception';
  if (DELIVERED_TEXT.test(text)) return 'delivered';
  if (ANNOUNCED_TEXT.test(text)) return 'pending';
  return 'transit';
}

function webURL(number) { return PAGE + '?numeroExpedition=' + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function trackingAnswer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  if (response.status !== 200 || !body || typeof body !== 'object' || Array.isArray(body))
    return problem(task, response);
  var shipment = body.Expedition;
  if (!shipment || typeof shipment !== 'object') {
    var warned =
        Q.array(body.status).some(function(entry) { return entry && entry.state === 'warn'; });
    return warned ? task.notFound(undefined, links(task)) : problem(task, response);
  }
  var events =
      Q.array(shipment.Evenements)
          .filter(function(event) { return event && typeof event === 'object'; })
          .map(function(event) { return Q.event(Q.isoDateTime(event.Date), event.Libelle); });
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var headline = Q.trim(shipment.SuiviContextuel);
  if (!events.length && !headline) return task.notFound(undefined, links(task));
  var latest = events[0] || {};
  var item = Q.trackingItem(task.itemName, {
    state: state(headline || latest.text),
    status: headline || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    history: events
  });
  task.found([item], links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(PAGE, undefined, {cache: false}, function(response) {
      if (response.offline || response.status !== 200) return problem(task, response);
      var token = TOKEN.exec(response.text);
      // Without its token the page has changed; the call would only be refused.
      if (!token) return problem(task, {status: 200, text: '', offline: false});
      task.progress(S.fetchingDetails);
      var query = Q.query({
        shipment: task.number,
        postcode: task.extra.toUpperCase(),
        brand: '',
        codePays: COUNTRY
      });
      task.request(
          API + '?' + query, undefined, {
            cache: false,
            referer: PAGE,
            headers: {
              'Accept': 'application/json, text/plain, */*',
              'RequestVerificationToken': Q.decodeEntities(token[1])
            }
          },
          function(next) { trackingAnswer(task, next); });
    });
  }
});
