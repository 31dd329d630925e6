// Australia Post: the Shipping and Tracking API (v1 "track"). It answers only for articles
// lodged under the caller's own charge account, so it needs the API key, its password and the
// account number; without them the public tracking page is offered.
(function() {
var KEY = 'auspost.com.au';
var API = 'https://digitalapi.auspost.com.au/shipping/v1/track?tracking_ids=';

function apWebURL(number) {
  return 'https://auspost.com.au/mypost/track/details/' + encodeURIComponent(number);
}

function apLinks(task) { return task.pageLinks(apWebURL); }

function apOpenWebPage(task) { task.offerWebPage(apWebURL); }

var apItem = Q.trackingItem;

var apInterval = Q.itemsInterval;

// "ALEXANDRIA NSW" → "Alexandria NSW": the state stays an abbreviation.
function apLocation(text) {
  var match = /^(.*\S)\s+(NSW|VIC|QLD|SA|WA|TAS|NT|ACT)$/.exec(Q.trim(text));
  return match ? Q.capitalize(match[1]) + ' ' + match[2] : Q.capitalize(text);
}

function apState(status) {
  if (/^delivered/i.test(status)) return 'delivered';
  if (/unsuccessful|damaged|cannot be delivered|held|awaiting collection|cancel|return/i.test(
          status))
    return 'exception';
  if (/^(created|initiated)$/i.test(status)) return 'pending';
  return 'transit';
}

// One article of the consignment. Several articles are told apart by their article ID.
function apArticle(task, trackable, consignmentStatus, several) {
  var events = Q.array(trackable.events).slice();
  // The history reads newest first, whatever order the interface used.
  events.sort(function(a, b) { return (Date.parse(b.date) || 0) - (Date.parse(a.date) || 0); });
  var latest = events[0] || {};
  var status = Q.trim(trackable.status || consignmentStatus);
  var article = Q.trim(trackable.article_id);
  return apItem(apPieceName(task, article, several), {
    state: apState(status),
    status: latest.description || status,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: apLocation(latest.location),
    history: events.map(function(event) {
      return Q.event(Q.isoDateTime(event.date), event.description, apLocation(event.location));
    })
  });
}

// The name of one piece of several: the user's name with the piece's own number, or that
// number alone when the user gave no name.
function apPieceName(task, id, several) { return task.pieceName(id, several); }

function apProblem(task, response) { task.failForResponse(response, apLinks(task)); }

function apAnswer(task, response) {
  if (response.offline) return apProblem(task, response);
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
    if (!trackables.length) return task.notFound(undefined, apLinks(task));
    var items = trackables.map(function(
        trackable) { return apArticle(task, trackable, result.status, trackables.length > 1); });
    return task.finish(
        Q.results(2, Object.assign(apLinks(task), {items: items, interval: apInterval(items)})));
  }
  if (response.status === 404) return task.notFound(undefined, apLinks(task));
  apProblem(task, response);
}

registerService(KEY, {
  webURL: function(task) { return apWebURL(task.number); },
  track: function(task) {
    var key = task.credential('apiKey');
    var password = task.credential('clientSecret');
    var account = task.credential('accountNumber');
    if (!key || !password || !account) return apOpenWebPage(task);
    task.request(
        API + encodeURIComponent(task.number), undefined, {
          cache: false,
          headers: {
            'Authorization': 'Basic ' + Q.base64(key + ':' + password),
            'Account-Number': account,
            'Accept': 'application/json'
          }
        },
        function(response) { apAnswer(task, response); });
  }
});
})();
