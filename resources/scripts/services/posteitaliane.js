// Poste Italiane: the JSON service behind the "Cerca spedizioni" page of poste.it. Like the
// page, it first asks to verify the number (which sets the session cookies the search needs)
// and then searches; neither call needs an account.
//
// Sources, read 2026-12-08: the public parcel-tracking project "parcel-tracker"
// (PosteItalianeDeliveryService, Android) and a public NestJS registered-mail checker, which
// describe the DQ-REST "verificaricercasemplice" and "ricercasemplice" calls with their JSON
// bodies (codiceSpedizione, tipoRichiedente "WEB", periodoRicerca) and the answer:
// esitoRicerca, stato ("5" with esitoRicerca "3" is delivered), flagRitorno, and
// listaMovimenti (dataOra in milliseconds, luogo, statoLavorazione, box, flagRitorno).

var KEY = 'www.poste.it';
var API = 'https://www.poste.it/online/dovequando/DQ-REST/';
var VERIFY = API + 'verificaricercasemplice';
var SEARCH = API + 'ricercasemplice';
var PAGE = 'https://www.poste.it/cerca/index.html#/risultati-spedizioni/';
var REFERER = 'https://www.poste.it/cerca-spedizioni/index.html';

var FOUND = '3';
var DELIVERED = '5';

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

// The last Sunday of a month (UTC day number), where Europe changes between winter and
// summer time at 01:00 UTC.
function lastSunday(year, month) {
  var last = new Date(Date.UTC(year, month + 1, 0));
  return last.getUTCDate() - last.getUTCDay();
}

// Milliseconds since 1970 as the wall-clock time in Italy, whatever the machine's zone.
function italianTime(value) {
  var ms = Number(value);
  if (!(ms > 0) || !isFinite(ms)) return undefined;
  var utc = new Date(ms);
  var year = utc.getUTCFullYear();
  var summerStart = Date.UTC(year, 2, lastSunday(year, 2), 1);
  var summerEnd = Date.UTC(year, 9, lastSunday(year, 9), 1);
  var offset = ms >= summerStart && ms < summerEnd ? 2 : 1;
  var local = new Date(ms + offset * 3600000);
  return Q.pad(local.getUTCFullYear(), 4) + '-' + Q.pad(local.getUTCMonth() + 1) + '-' +
      Q.pad(local.getUTCDate()) + 'T' + Q.pad(local.getUTCHours()) + ':' +
      Q.pad(local.getUTCMinutes()) + ':' + Q.pad(local.getUTCSeconds());
}

// "ROMA (RM)" → "Roma (RM)": the province code stays a code.
function place(text) {
  return Q.capitalize(text).replace(
      /\(([a-z]{2})\)$/i, function(all, code) { return '(' + code.toUpperCase() + ')'; });
}

function searchAnswer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body) &&
      'esitoRicerca' in body) {
    var rows = Q.array(body.listaMovimenti)
                   .filter(function(row) { return row && typeof row === 'object'; });
    if (!rows.length) return task.notFound(undefined, links(task));
    // Ordered by the instant, not by the wall clock: the hour that repeats when summer time
    // ends would otherwise put a later scan below an earlier one.
    rows.sort(function(a, b) { return (Number(b.dataOra) || 0) - (Number(a.dataOra) || 0); });
    var events = rows.map(function(
        row) { return Q.event(italianTime(row.dataOra), row.statoLavorazione, place(row.luogo)); });
    var latest = events[0];
    // A parcel on its way back, or "delivered" back to the sender, is not the recipient's.
    var returning =
        body.flagRitorno === true || rows.some(function(row) { return row.flagRitorno === true; });
    var delivered = Q.string(body.esitoRicerca) === FOUND && Q.string(body.stato) === DELIVERED;
    var item = Q.trackingItem(task.itemName, {
      state: returning ? 'exception' :
          delivered    ? 'delivered' :
                         'transit',
      status: latest.text,
      statusDate: latest.date,
      firstDate: events[events.length - 1].date,
      location: latest.location,
      history: events
    });
    return task.found([item], links(task));
  }
  problem(task, response);
}

function request(task, url, body, callback) {
  task.request(
      url, JSON.stringify(body), {
        cache: false,
        postType: 'application/json',
        referer: REFERER,
        headers: {'Accept': 'application/json, text/plain, */*', 'Origin': 'https://www.poste.it'}
      },
      callback);
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    request(
        task, VERIFY, {codiceSpedizione: task.number, tipoRichiedente: 'WEB'}, function(response) {
          if (response.offline || response.status === 0 || response.status === 429 ||
              response.status >= 400)
            return problem(task, response);
          task.progress(S.fetchingDetails);
          request(
              task, SEARCH,
              {tipoRichiedente: 'WEB', codiceSpedizione: task.number, periodoRicerca: 1},
              function(next) { searchAnswer(task, next); });
        });
  }
});
