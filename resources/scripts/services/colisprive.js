// Colis Privé: the parcel page of colisprive.com ("moncolis"), which the server renders with
// the parcel's status and history. It needs no account; like the page, it looks a parcel up
// by its 12-character number followed by the recipient's 5-digit postal code.
//
// Sources, read 2026-12-08: public tracking projects that read
// moncolis/pages/DetailColis.aspx with numColis (a TypeScript tracker with its wording
// table, Python and PHP scripts, a Node courier library), which describe the page: a
// "BandeauInfoColis" banner with the number (".divColis .tdText") and the status
// (".divStatut .tdText"), the recipient's address in ".divDesti" (never read here), and the
// history table "tableHistoriqueColis" with rows "bandeauText" whose cells carry
// headers="th-date" (dd/mm/yyyy) and headers="th-statut"; 404 for an unknown parcel.

var KEY = 'www.colisprive.com';
var PAGE = 'https://www.colisprive.com/moncolis/pages/detailColis.aspx?lang=FR&numColis=';

// The carrier's French wording, compared without accents.
var RETURNED = /retour(ne)? (a l )?expediteur/;
var PROBLEM =
    /avons tente de livrer|n avons pas pu livrer|echec de livraison|n a pas pu etre livre|adresse incorrecte|endommage|refuse|perdu/;
var DELIVERED = /a ete livre|vous a ete remis au relais|remis au destinataire|livraison effectuee/;
var OUT = /en cours de (distribution|livraison) par le livreur/;
var ANNOUNCED =
    /en cours de preparation par l expediteur|sera confie prochainement|information transmise par l expediteur/;

// "Votre colis a été livré." → "votre colis a ete livre".
function comparable(text) {
  return Q.string(text)
      .toLowerCase()
      .normalize('NFD')
      .replace(/[\u0300-\u036f]/g, '')
      .replace(/[^a-z0-9]+/g, ' ')
      .trim();
}

function state(text) {
  var value = comparable(text);
  if (RETURNED.test(value) || PROBLEM.test(value)) return 'exception';
  if (DELIVERED.test(value)) return 'delivered';
  if (OUT.test(value)) return 'out';
  if (ANNOUNCED.test(value)) return 'pending';
  return 'transit';
}

// The page's key: the parcel number and the recipient's postal code, unless the user wrote
// them as one already.
function pageKey(task) {
  var postcode = task.extra.replace(/\s+/g, '');
  return task.number.length === 12 && /^\d{5}$/.test(postcode) ? task.number + postcode :
                                                                 task.number;
}

function webURL(key) { return PAGE + encodeURIComponent(key); }

function links(task) {
  var url = webURL(pageKey(task));
  return {url: url, mobileURL: url};
}

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

// The contents of the first element whose class list holds the name.
function byClass(html, name) {
  var match = new RegExp('<(\\w+)[^>]*class="[^"]*\\b' + name + '\\b[^"]*"[^>]*>').exec(html);
  if (!match) return undefined;
  return html.slice(match.index + match[0].length);
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  if (response.status === 404) return task.notFound(undefined, links(task));
  if (response.status !== 200) return problem(task, response);
  // A page cut off on the way would show a shortened history as if it were all there.
  if (!/<\/html\s*>/i.test(response.text)) return problem(task, response);
  // The recipient's name and address are cut out before anything is read.
  var html =
      response.text.replace(/<div[^>]*class="[^"]*\bdivDesti\b[^"]*"[^>]*>[\s\S]*?<\/div>/g, '');
  var banner = byClass(html, 'BandeauInfoColis');
  var statusBlock = banner && byClass(banner, 'divStatut');
  var statusCell =
      statusBlock && /class="[^"]*\btdText\b[^"]*"[^>]*>([\s\S]*?)<\/td>/.exec(statusBlock);
  var statusText = statusCell ? Q.text(statusCell[1]) : '';
  var table = byClass(html, 'tableHistoriqueColis') || '';
  var events = [];
  var rowPattern = /<tr[^>]*class="[^"]*\bbandeauText\b[^"]*"[^>]*>([\s\S]*?)<\/tr>/g;
  var row;
  while ((row = rowPattern.exec(table))) {
    var day = /<td[^>]*headers="th-date"[^>]*>([\s\S]*?)<\/td>/.exec(row[1]);
    var text = /<td[^>]*headers="th-statut"[^>]*>([\s\S]*?)<\/td>/.exec(row[1]);
    var date = day ? Q.isoDateTime(Q.text(day[1])) : undefined;
    if (date && text && Q.text(text[1])) events.push(Q.event(date, Q.text(text[1])));
  }
  if (!statusText && !events.length) return problem(task, response);
  var indexed = events.map(function(event, index) { return {event: event, index: index}; });
  indexed.sort(function(a, b) {
    var left = a.event.date, right = b.event.date;
    return right < left ? -1 : (right > left ? 1 : a.index - b.index);
  });
  events = indexed.map(function(entry) { return entry.event; });
  var latest = events[0] || {};
  var item = Q.trackingItem(task.itemName, {
    state: state(statusText || latest.text),
    status: statusText || latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    history: events
  });
  task.found([item], links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(pageKey(task)); },
  track: function(task) {
    task.request(
        webURL(pageKey(task)), undefined, {cache: false},
        function(response) { answer(task, response); });
  }
});
