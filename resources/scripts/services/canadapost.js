// Canada Post: first the tracking data that Canada Post's own tracking page
// (canadapost-postescanada.ca/track-reperage) loads as JSON, which needs no account; when that
// does not answer usably and the user has configured a Developer Program key pair, the
// tracking web service of the Developer Program ("vis/track", XML).
//
// Sources: Canada Post's Developer Program documentation of the tracking service (Get Tracking
// Details, XML); public projects that read the tracking page's JSON
// (rs/track/json/package/<pin>/detail, with the page's empty basic authorisation and its
// referer): pin, delivered, events with descEn, datetime and locationAddr, and
// {"error": {"cd", "descEn"}} for an unknown number. Checked 2026-12-08.

// What may change when Canada Post changes its site.
var KEY = 'www.canadapost.ca';
var PUBLIC_API = 'https://www.canadapost-postescanada.ca/track-reperage/rs/track/json/package/';
var PUBLIC_HEADERS = {
  Authorization: 'Basic Og==',
  Accept: 'application/vnd.cpc.trackweb-v1+json',
  'X-Requested-With': 'XMLHttpRequest'
};
var PUBLIC_REFERER = 'https://www.canadapost-postescanada.ca/track-reperage/en';
var API = 'https://soa-gw.canadapost.ca/vis/track/pin/';

// Event identifiers of a completed delivery (to the door, a mailbox, a neighbour, or picked
// up at a post office).
var DELIVERED_EVENTS = [
  '1496', '1497', '1498', '1499', '1408', '1409', '1421', '1422', '1423', '1424', '1425',
  '1426', '1427', '1428', '1429', '1430', '1431', '1432', '1433', '1434', '1441', '1442'
];

function pageURL(number) {
  return 'https://www.canadapost-postescanada.ca/track-reperage/en#/search?searchFor=' +
      encodeURIComponent(number);
}

// The texts of every element with this name, entities decoded. The answers are small and
// flat, and a regular expression cannot be fooled into reading past the element's end.
function xmlValues(xml, name) {
  var values = [];
  var pattern = new RegExp('<' + name + '(?:\\s[^>]*)?>([\\s\\S]*?)</' + name + '>', 'g');
  var match;
  while ((match = pattern.exec(xml)) !== null) values.push(Q.text(match[1]));
  return values;
}

function xmlValue(xml, name) { return xmlValues(xml, name)[0] || ''; }

function xmlEvent(xml) {
  return {
    id: xmlValue(xml, 'event-identifier'),
    date: Q.isoDateTime(xmlValue(xml, 'event-date'), xmlValue(xml, 'event-time')),
    text: xmlValue(xml, 'event-description'),
    location: Q.join(Q.capitalize(xmlValue(xml, 'event-site')), xmlValue(xml, 'event-province'))
  };
}

function stateOf(event) {
  if (DELIVERED_EVENTS.indexOf(event.id) >= 0) return 'delivered';
  if (/attempt|notice card|return|refused|unable/i.test(event.text)) return 'exception';
  return 'transit';
}

function xmlItem(task, xml) {
  var blocks = xml.match(/<occurrence(?:\s[^>]*)?>[\s\S]*?<\/occurrence>/g) || [];
  var events = blocks.map(xmlEvent);
  // The history reads newest first, whatever order the service used.
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  return Q.trackingItem(task.itemName, {
    state: events.length ? stateOf(latest) : 'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    // A changed date replaces the first promise.
    expected:
        Q.isoDay(xmlValue(xml, 'changed-expected-date') || xmlValue(xml, 'expected-delivery-date')),
    location: latest.location,
    history: events.map(function(event) { return Q.event(event.date, event.text, event.location); })
  });
}

// The page's JSON: finishes the task and answers true when it says something about the number.
function publicAnswer(task, response, links) {
  var data = Q.json(response.text);
  if (!data || typeof data !== 'object') return false;
  // 004 "No PIN History", and the other answers about the number itself.
  if (Q.get(data, 'error', 'cd') !== undefined) {
    task.notFound(undefined, links);
    return true;
  }
  if (response.status !== 200 || !Array.isArray(data.events)) return false;
  var events = Q.newestFirst(data.events.map(function(entry) {
    var place = entry.locationAddr || {};
    return {
      date: Q.isoDateTime(Q.get(entry, 'datetime', 'date'), Q.get(entry, 'datetime', 'time')),
      text: Q.trim(entry.descEn),
      location: Q.join(Q.capitalize(place.city), place.regionCd || place.countryNmEn)
    };
  }));
  var latest = events[0] || {};
  var item = Q.trackingItem(task.itemName, {
    state: data.delivered === true ? 'delivered' : events.length ? stateOf(latest) : 'pending',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    deliveredDate: data.actualDlvryDate,
    expected: Q.isoDay(Q.get(data, 'expectedDlvryDateTime', 'dlvryDate')),
    location: latest.location,
    history: events.map(function(event) { return Q.event(event.date, event.text, event.location); })
  });
  task.found([item], links);
  return true;
}

function apiAnswer(task, response, links) {
  var text = response.text;
  // Only a complete document counts: a cut answer would lose the newest events.
  if (response.status === 200 && /<tracking-detail[\s>][\s\S]*<\/tracking-detail>\s*$/.test(text))
    return task.found([xmlItem(task, text)], links);
  // 004 "No Pin History", and the other message answers about the number itself.
  var messages = /<messages[\s>][\s\S]*<\/messages>/.test(text) ? xmlValues(text, 'code') : [];
  if (response.status === 404 || (response.status === 400 && messages.length))
    return task.notFound(undefined, links);
  task.failForResponse(response, links);
}

function apiTrack(task, user, password, links) {
  task.progress(S.fetchingDetails);
  task.request(
      API + encodeURIComponent(task.number) + '/detail', undefined, {
        cache: false,
        headers: {
          'Authorization': 'Basic ' + Q.base64(user + ':' + password),
          'Accept': 'application/vnd.cpc.track-v2+xml',
          'Accept-Language': 'en-CA'
        }
      },
      function(response) { apiAnswer(task, response, links); });
}

registerService(KEY, {
  access: 'keyless',
  credentials: ['clientID', 'clientSecret'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var links = task.pageLinks(pageURL);
    task.request(
        PUBLIC_API + encodeURIComponent(task.number) + '/detail', undefined,
        {cache: false, referer: PUBLIC_REFERER, headers: PUBLIC_HEADERS},
        function(response) {
          if (publicAnswer(task, response, links)) return;
          if (response.offline) return task.failForResponse(response, links);
          var user = task.credential('clientID');
          var password = task.credential('clientSecret');
          if (user && password) return apiTrack(task, user, password, links);
          task.failForResponse(response, links);
        });
  }
});
