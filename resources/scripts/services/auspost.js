// Australia Post: the Shipping and Tracking API (v1 "track"). It answers only for articles
// lodged under the caller's own charge account, so it needs the API key, its password and the
// account number; without them the public tracking page is offered. No source we could check
// describes data of the tracking page that answers without a key, so this module has no
// keyless path yet.
//
// Sources: Australia Post's developer documentation of the Shipping and Tracking API
// (developers.auspost.com.au: track, tracking_results, trackable_items, events). Checked
// 2026-12-08.

// What may change when Australia Post changes its interface.
var KEY = 'auspost.com.au';
var API = 'https://digitalapi.auspost.com.au/shipping/v1/track?tracking_ids=';

function pageURL(number) {
  return 'https://auspost.com.au/mypost/track/details/' + encodeURIComponent(number);
}

function pageLinks(task) { return task.pageLinks(pageURL); }

function offerPage(task) { task.offerWebPage(pageURL); }

// "ALEXANDRIA NSW" → "Alexandria NSW": the state stays an abbreviation.
function placeOf(text) {
  var match = /^(.*\S)\s+(NSW|VIC|QLD|SA|WA|TAS|NT|ACT)$/.exec(Q.trim(text));
  return match ? Q.capitalize(match[1]) + ' ' + match[2] : Q.capitalize(text);
}

function stateOf(status) {
  if (/^delivered/i.test(status)) return 'delivered';
  if (/unsuccessful|damaged|cannot be delivered|held|awaiting collection|cancel|return/i.test(
          status))
    return 'exception';
  if (/^(created|initiated)$/i.test(status)) return 'pending';
  return 'transit';
}

// One article of the consignment. Several articles are told apart by their article ID.
function articleItem(task, trackable, consignmentStatus, several) {
  var events = Q.array(trackable.events).slice();
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) { return (Date.parse(b.date) || 0) - (Date.parse(a.date) || 0); });
  var latest = events[0] || {};
  var status = Q.trim(trackable.status || consignmentStatus);
  var article = Q.trim(trackable.article_id);
  return Q.trackingItem(pieceName(task, article, several), {
    state: stateOf(status),
    status: latest.description || status,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: placeOf(latest.location),
    history: events.map(function(event) {
      return Q.event(Q.isoDateTime(event.date), event.description, placeOf(event.location));
    })
  });
}

// The name of one piece of several: the user's name with the piece's own number, or that
// number alone when the user gave no name.
function pieceName(task, id, several) { return task.pieceName(id, several); }

function problem(task, response) { task.failForResponse(response, pageLinks(task)); }

function answer(task, response) {
  if (response.offline) return problem(task, response);
  var body = Q.json(response.text);
  var results = Q.get(body, 'tracking_results');
  if (response.status === 200 && Array.isArray(results)) {
    var result = results.filter(function(entry) {
      return Q.trim(Q.get(entry, 'tracking_id')).toUpperCase() === task.number;
    })[0] ||
        results[0];
    // An unknown ID comes back as a result with "errors" and no articles.
    var trackables =
        Q.array(Q.get(result, 'trackable_items'))
            .filter(function(trackable) { return trackable && typeof trackable === 'object'; });
    if (!trackables.length) return task.notFound(undefined, pageLinks(task));
    var items = trackables.map(function(
        trackable) { return articleItem(task, trackable, result.status, trackables.length > 1); });
    return task.finish(
        Q.results(2, Object.assign(pageLinks(task), {items: items, interval: Q.itemsInterval(items)})));
  }
  if (response.status === 404) return task.notFound(undefined, pageLinks(task));
  problem(task, response);
}

registerService(KEY, {
  access: 'keys',
  credentials: ['apiKey', 'clientSecret', 'accountNumber'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var key = task.credential('apiKey');
    var password = task.credential('clientSecret');
    var account = task.credential('accountNumber');
    if (!key || !password || !account) return offerPage(task);
    task.request(
        API + encodeURIComponent(task.number), undefined, {
          cache: false,
          headers: {
            'Authorization': 'Basic ' + Q.base64(key + ':' + password),
            'Account-Number': account,
            'Accept': 'application/json'
          }
        },
        function(response) { answer(task, response); });
  }
});
