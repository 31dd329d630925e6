// Amazon storefronts: the order-details page of a signed-in customer. Amazon shows an order
// only to the account that placed it, so the module reads the page with the cookies of the
// user's sign-in (made once in the main application's sign-in window, kept in the group's
// cookie file for background updates). A page that asks to sign in again finishes the update
// with the "signin" action, which offers the sign-in window.
//
// Sources (read 2026-12-08): a public MIT-licensed library for reading one's own Amazon order
// history documents the addresses (/gp/your-account/order-details?orderID=<order>, sign-in
// under /ap/signin), the sign-in form (form name "signIn", fields ap_email and ap_password),
// the shipment boxes of the order page ("a-box shipment", "shipment", "delivery-box"), where a
// shipment's state is written (js-shipment-info-container rows, od-status-message,
// delivery-box__primary-text) and its "Track package" link (ship-track?itemId=…); a public
// design note of an orders connector confirms the order-details address, the 3-7-7 digit
// order number and that a redirect to /ap/signin means the session has ended.
//
// Everything the shop may change is in PAGE below, so that a signed service update can fix it.

var PAGE = {
  orderDetails: '/gp/your-account/order-details?orderID=',
  orderNumber: /^(\d{3}|D\d{2})-\d{7}-\d{7}$/,
  // Any of these in a page means it asks the customer to sign in.
  signInMarks: [/<form[^>]*name=["']signIn["']/i, /id=["']ap_password["']/i,
                /id=["']ap_email["']/i, /action=["'][^"']*\/ap\/signin/i],
  // The start of one shipment box; the box runs to the next start.
  // (a class of its own, not a part of "shipment-top-row" or "od-shipments").
  shipmentStart: /<div[^>]*\bclass="(?:[^"]*\s)?(?:shipment|delivery-box)(?:\s[^"]*)?"[^>]*>/gi,
  // Where a shipment's state is written, first match wins.
  status: [/<div[^>]*class="[^"]*\bjs-shipment-info-container\b[^"]*"[^>]*>\s*<div[^>]*class="[^"]*\ba-row\b[^"]*"[^>]*>([\s\S]*?)<\/div>/i,
           /<[a-z0-9]+[^>]*class="[^"]*\bod-status-message\b[^"]*"[^>]*>([\s\S]*?)<\/[a-z0-9]+>/i,
           /<span[^>]*class="[^"]*\bdelivery-box__primary-text\b[^"]*"[^>]*>([\s\S]*?)<\/span>/i,
           /<span[^>]*class="[^"]*\ba-color-success\b[^"]*"[^>]*>([\s\S]*?)<\/span>/i],
  trackLink: /href="([^"]*(?:ship-track\?itemId=|progress-tracker\/package)[^"]*)"/i,
  // The state a status line tells, in the storefronts' languages.
  delivered: /^(delivered|zugestellt|geliefert|livr[ée]|entregado|consegnato|配達済み)/i,
  out: /(out for delivery|in zustellung|wird heute zugestellt|en cours de livraison|en reparto|in consegna|配達中)/i,
  pending: /(not yet shipped|preparing for shipment|noch nicht versandt|pas encore exp[ée]di[ée]|no enviado|non ancora spedito|未発送)/i,
  exception: /(delivery attempted|undeliverable|returned|problem|zustellversuch|[ée]chec de livraison|incidencia|tentativo di consegna)/i,
  cancelled: /^(cancelled|canceled|storniert|annul[ée]|cancelado|annullato|キャンセル)/i,
  // A day in a status line: "March 6" or "6 March", without a year.
  months: ['january', 'february', 'march', 'april', 'may', 'june', 'july', 'august',
           'september', 'october', 'november', 'december'],
  monthDay: /\b([a-z]+)\.? (\d{1,2})\b|\b(\d{1,2})\.? ([a-z]+)\b/i,
};

var STOREFRONTS = ['www.amazon.com', 'www.amazon.ca', 'www.amazon.co.uk', 'www.amazon.de',
                   'www.amazon.fr', 'www.amazon.it', 'www.amazon.es', 'www.amazon.at',
                   'www.amazon.in', 'www.amazon.co.jp'];

function storefrontHost(from) {
  // Austrian customers order through the German storefront.
  return from === 'www.amazon.at' ? 'www.amazon.de' : from;
}

function orderURL(from, number) {
  return 'https://' + storefrontHost(from) + PAGE.orderDetails + encodeURIComponent(number);
}

function asksToSignIn(html) {
  return PAGE.signInMarks.some(function(mark) { return mark.test(html); });
}

function shipmentBoxes(html) {
  var starts = [];
  var match;
  PAGE.shipmentStart.lastIndex = 0;
  while ((match = PAGE.shipmentStart.exec(html)) !== null) starts.push(match.index);
  return starts.map(function(start, i) {
    return html.slice(start, i + 1 < starts.length ? starts[i + 1] : html.length);
  });
}

function statusText(box) {
  for (var i = 0; i < PAGE.status.length; i++) {
    var match = PAGE.status[i].exec(box);
    if (match && Q.text(match[1])) return Q.text(match[1]);
  }
  return '';
}

function stateOf(status) {
  if (PAGE.delivered.test(status)) return 'delivered';
  if (PAGE.out.test(status)) return 'out';
  if (PAGE.pending.test(status) || PAGE.cancelled.test(status)) return 'pending';
  if (PAGE.exception.test(status)) return 'exception';
  return 'transit';
}

function absolute(from, href) {
  var link = Q.decodeEntities(href);
  if (/^https:\/\//.test(link)) return link;
  if (link.charAt(0) !== '/') return undefined;
  return 'https://' + storefrontHost(from) + link;
}

function pad(number) { return (number < 10 ? '0' : '') + number; }

// The ISO day a status line names, in the year that makes it a past day for a delivery and an
// upcoming one otherwise (the page leaves the year out).
function dayIn(status, past) {
  var match = PAGE.monthDay.exec(status);
  if (!match) return undefined;
  var month = PAGE.months.indexOf(Q.string(match[1] || match[4]).toLowerCase());
  var day = Number(match[2] || match[3]);
  if (month < 0 || !(day >= 1 && day <= 31)) return undefined;
  var now = Q.now();
  var year = now.getFullYear();
  var candidate = new Date(year, month, day);
  var days = (candidate.getTime() - now.getTime()) / 86400000;
  if (past && days > 2) year -= 1;
  if (!past && days < -60) year += 1;
  return year + '-' + pad(month + 1) + '-' + pad(day);
}

function item(task, box, index, count) {
  var status = statusText(box);
  var state = stateOf(status);
  var track = PAGE.trackLink.exec(box);
  var info = {state: state, status: status || undefined};
  if (state === 'delivered') info.deliveredDate = dayIn(status, true);
  else if (state === 'transit' || state === 'out') info.expected = dayIn(status, false);
  var result = Q.trackingItem(task.pieceName(String(index + 1), count > 1), info);
  if (track) {
    var link = absolute(task.from, track[1]);
    if (link) result.url = link;
  }
  return result;
}

function signInNeeded(task, links) {
  var fields = {};
  Object.keys(links).forEach(function(key) { fields[key] = links[key]; });
  fields.tap = 'signin';
  fields.items = [task.problemItem(S.signInRequired)];
  fields.interval = Q.interval('error');
  task.finish(Q.results(0, fields));
}

function answer(task, response, links) {
  if (task.failedResponse(response, links)) return;
  var html = Q.string(response.text);
  if (asksToSignIn(html)) return signInNeeded(task, links);
  if (response.status === 404) return task.notFound(undefined, links);
  if (response.status !== 200 || !Q.looksLikeHTML(html)) return task.failForResponse(response, links);
  // A page cut short may have lost shipments or their states.
  if (!/<\/html>\s*$/i.test(html)) return task.failForResponse(response, links);
  var boxes = shipmentBoxes(html);
  if (!boxes.length) {
    // A signed-in page without the order: the order belongs to another account or does not
    // exist (yet).
    return task.notFound(undefined, links);
  }
  task.found(boxes.map(function(box, i) { return item(task, box, i, boxes.length); }), links);
}

STOREFRONTS.forEach(function(key) {
  registerService(key, {
    access: 'keyless',
    webURL: function(task) { return orderURL(key, task.number); },
    track: function(task) {
      var links = task.pageLinks(function(number) { return orderURL(key, number); });
      if (!PAGE.orderNumber.test(task.number)) return task.notFound(undefined, links);
      task.request(orderURL(key, task.number), undefined, {cache: false},
                   function(response) { answer(task, response, links); });
    },
  });
});
