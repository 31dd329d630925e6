// Canada Post: the tracking web service of the Developer Program ("vis/track", XML). It needs
// the API key pair (user name and password) of a Developer Program account; without it the
// public tracking page is offered.
(function() {
var KEY = 'www.canadapost.ca';
var API = 'https://soa-gw.canadapost.ca/vis/track/pin/';

// Event identifiers of a completed delivery (to the door, a mailbox, a neighbour, or picked
// up at a post office).
var DELIVERED_EVENTS = [
  '1496', '1497', '1498', '1499', '1408', '1409', '1421', '1422', '1423', '1424', '1425',
  '1426', '1427', '1428', '1429', '1430', '1431', '1432', '1433', '1434', '1441', '1442'
];

function cpWebURL(number) {
  return 'https://www.canadapost-postescanada.ca/track-reperage/en#/search?searchFor=' +
      encodeURIComponent(number);
}

function cpLinks(task) { return task.pageLinks(cpWebURL); }

function cpOpenWebPage(task) { task.offerWebPage(cpWebURL); }

var cpItem = Q.trackingItem;

var cpInterval = Q.itemsInterval;

// The texts of every element with this name, entities decoded. The answers are small and
// flat, and a regular expression cannot be fooled into reading past the element's end.
function cpValues(xml, name) {
  var values = [];
  var pattern = new RegExp('<' + name + '(?:\\s[^>]*)?>([\\s\\S]*?)</' + name + '>', 'g');
  var match;
  while ((match = pattern.exec(xml)) !== null) values.push(Q.text(match[1]));
  return values;
}

function cpValue(xml, name) { return cpValues(xml, name)[0] || ''; }

function cpEvent(xml) {
  return {
    id: cpValue(xml, 'event-identifier'),
    date: Q.isoDateTime(cpValue(xml, 'event-date'), cpValue(xml, 'event-time')),
    text: cpValue(xml, 'event-description'),
    location: Q.join(Q.capitalize(cpValue(xml, 'event-site')), cpValue(xml, 'event-province'))
  };
}

function cpState(event) {
  if (DELIVERED_EVENTS.indexOf(event.id) >= 0) return 'delivered';
  if (/attempt|notice card|return|refused|unable/i.test(event.text)) return 'exception';
  return 'transit';
}

function cpDetail(task, xml) {
  var blocks = xml.match(/<occurrence(?:\s[^>]*)?>[\s\S]*?<\/occurrence>/g) || [];
  var events = blocks.map(cpEvent);
  // The history reads newest first, whatever order the service used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  return cpItem(task.itemName, {
    state: events.length ? cpState(latest) : 'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    // A changed date replaces the first promise.
    expected:
        Q.isoDay(cpValue(xml, 'changed-expected-date') || cpValue(xml, 'expected-delivery-date')),
    location: latest.location,
    history: events.map(function(event) { return Q.event(event.date, event.text, event.location); })
  });
}

function cpProblem(task, response) { task.failForResponse(response, cpLinks(task)); }

function cpAnswer(task, response) {
  if (response.offline) return cpProblem(task, response);
  var text = response.text;
  // Only a complete document counts: a cut answer would lose the newest events.
  if (response.status === 200 && /<tracking-detail[\s>][\s\S]*<\/tracking-detail>\s*$/.test(text)) {
    var item = cpDetail(task, text);
    return task.finish(
        Q.results(2, Object.assign(cpLinks(task), {items: [item], interval: cpInterval([item])})));
  }
  // 004 "No Pin History", and the other message answers about the number itself.
  var messages = /<messages[\s>][\s\S]*<\/messages>/.test(text) ? cpValues(text, 'code') : [];
  if (response.status === 404 || (response.status === 400 && messages.length))
    return task.notFound(undefined, cpLinks(task));
  cpProblem(task, response);
}

registerService(KEY, {
  webURL: function(task) { return cpWebURL(task.number); },
  track: function(task) {
    var user = task.credential('clientID');
    var password = task.credential('clientSecret');
    if (!user || !password) return cpOpenWebPage(task);
    task.request(
        API + encodeURIComponent(task.number) + '/detail', undefined, {
          cache: false,
          headers: {
            'Authorization': 'Basic ' + Q.base64(user + ':' + password),
            'Accept': 'application/vnd.cpc.track-v2+xml',
            'Accept-Language': 'en-CA'
          }
        },
        function(response) { cpAnswer(task, response); });
  }
});
})();
