// USPS: first USPS's own tracking page (tools.usps.com/go/TrackConfirmAction), read as the
// page it is: it needs no account, but it sits behind a bot check that may answer a challenge
// instead, which then reads as an unreadable answer. When the page does not answer usably and
// the user has configured the consumer key and secret of a developer app, the Tracking 3.0
// REST API with an OAuth client-credentials token.
//
// Sources: USPS's developer documentation of OAuth 3 and Tracking 3.0 (developers.usps.com:
// trackingEvents, statusCategory, expectedDeliveryDate); public projects that read the
// tracking page: history in ".tb-step" cards with ".tb-status", ".tb-status-detail",
// ".tb-location" and ".tb-date" ("June 8, 2026, 3:40 pm"), the history toggle to skip,
// "Tracking Not Available" in the banner header for an unknown number, and a page without
// ".track-bar-container" for a challenge. Checked 2026-12-08.

// What may change when USPS changes its site or interface.
var STEP_START = /<div\s+class="tb-step\b[^"]*"[^>]*>/gi;
var NOT_AVAILABLE = /class="banner-header"[^>]*>\s*Tracking Not Available/i;
var TRACK_BAR = 'track-bar-container';
var MONTHS = ['january', 'february', 'march', 'april', 'may', 'june', 'july', 'august',
  'september', 'october', 'november', 'december'];
var host = 'https://apis.usps.com';

function pageURL(number) {
  return 'https://tools.usps.com/go/TrackConfirmAction?tLabels=' + encodeURIComponent(number);
}

function event(entry) {
  return Q.event(
      Q.isoDateTime(entry.eventTimestamp), entry.eventType,
      Q.join(Q.capitalize(entry.eventCity), entry.eventState, entry.eventZIP, entry.eventCountry));
}

function stateOf(answer) {
  var category = Q.string(answer.statusCategory).toLowerCase();
  if (category === 'delivered') return 'delivered';
  if (category === 'out for delivery') return 'out';
  if (category === 'alert') return 'exception';
  if (category === 'pre-shipment' || category === 'pre-transit') return 'pending';
  return 'transit';
}

// The text of the first paragraph of the class in the card, or "".
function paragraph(card, name) {
  var match = new RegExp('<p\\s+class="' + name + '"[^>]*>([\\s\\S]*?)</p>', 'i').exec(card);
  return match ? Q.text(match[1]) : '';
}

// "June 8, 2026, 3:40 pm" or "June 8, 2026": a local date-time, or undefined.
function pageDateTime(text) {
  var match =
      /([A-Za-z]+)\s+(\d{1,2}),\s*(\d{4})(?:,?\s*(?:at\s+)?(\d{1,2}:\d{2}\s*[ap]\.?m\.?))?/i.exec(
          text);
  if (!match) return undefined;
  var month = MONTHS.indexOf(match[1].toLowerCase()) + 1;
  if (!month) return undefined;
  var day = Q.pad(match[3], 4) + '-' + Q.pad(month) + '-' + Q.pad(match[2]);
  return Q.isoDateTime(day, match[4] ? match[4].replace(/\./g, '') : undefined);
}

// "BROOKLYN, NY 11201" → "Brooklyn, NY 11201": the state and postal code stay as written, and
// so does a facility's name without a town.
function placeOf(text) {
  var comma = text.indexOf(',');
  return comma < 0 ? text : Q.join(Q.capitalize(text.slice(0, comma)), text.slice(comma + 1));
}

function pageStateOf(text) {
  if (/^delivered\b/i.test(text)) return 'delivered';
  if (/out for delivery/i.test(text)) return 'out';
  if (/label created|pre-shipment|shipping label|awaiting item/i.test(text)) return 'pending';
  if (/notice left|alert|return(ed)? to sender|undeliverable|attempt/i.test(text))
    return 'exception';
  return 'transit';
}

// The tracking page: finishes the task and answers true when it says something about the
// number. Only a whole page counts: a cut one would lose the newest steps.
function pageAnswer(task, response, links) {
  var html = response.text;
  if (response.status !== 200 || !/<\/html>\s*$/i.test(html)) return false;
  if (NOT_AVAILABLE.test(html)) {
    task.notFound(undefined, links);
    return true;
  }
  if (html.indexOf(TRACK_BAR) < 0) return false;
  var starts = [];
  var match;
  STEP_START.lastIndex = 0;
  while ((match = STEP_START.exec(html)) !== null)
    starts.push({index: match.index, tag: match[0]});
  var events = [];
  starts.forEach(function(start, i) {
    // The control that opens the whole history is no step.
    if (/toggle-history-container/.test(start.tag)) return;
    var card = html.slice(start.index, i + 1 < starts.length ? starts[i + 1].index : undefined);
    var date = pageDateTime(paragraph(card, 'tb-date'));
    // Steps still to come have no date.
    if (!date) return;
    var detail = paragraph(card, 'tb-status-detail') || paragraph(card, 'tb-status');
    events.push(Q.event(date, detail, placeOf(paragraph(card, 'tb-location'))));
  });
  if (!events.length) return false;
  events = Q.newestFirst(events);
  var latest = events[0];
  task.found([Q.trackingItem(task.itemName, {
    state: pageStateOf(latest.text),
    status: latest.text,
    statusDate: latest.date,
    firstDate: events[events.length - 1].date,
    location: latest.location,
    history: events,
  })], links);
  return true;
}

function answer(task, response) {
  var links = task.pageLinks(pageURL);
  if (response.status === 404) return task.notFound(undefined, links);
  var data = Q.json(response.text);
  if (response.status === 401 || response.status === 403 || !data || typeof data !== 'object')
    return task.failForResponse(response, links);
  if (Array.isArray(data)) data = data[0] || {};
  if (data.error || response.status >= 400) {
    var message = Q.string(Q.get(data, 'error', 'message'));
    if (/not found|not available|could not locate/i.test(message))
      return task.notFound(undefined, links);
    return task.failForResponse(response, links);
  }
  var events = Q.newestFirst(Q.array(data.trackingEvents).map(event));
  if (!events.length && !data.statusCategory) return task.notFound(undefined, links);
  task.found([Q.trackingItem(task.itemName, {
    state: stateOf(data),
    status: Q.string(data.status || data.statusSummary),
    statusDate: (events[0] || {}).date,
    firstDate: (events[events.length - 1] || {}).date,
    expected: Q.isoDay(data.expectedDeliveryDate) || Q.isoDay(data.predictedDeliveryDate),
    location: (events[0] || {}).location,
    history: events,
  })], links);
}

function apiTrack(task, clientID, clientSecret, links) {
  task.clientCredentialsToken(
      {url: host + '/oauth2/v3/token', clientID: clientID, clientSecret: clientSecret,
       json: true},
      links, function(token) {
        var url =
            host + '/tracking/v3/tracking/' + encodeURIComponent(task.number) + '?expand=DETAIL';
        task.progress(S.fetchingDetails);
        task.request(url, undefined, {cache: false, headers: {Authorization: 'Bearer ' + token}},
                     function(response) { answer(task, response); });
      });
}

registerService('www.usps.com', {
  access: 'keyless',
  credentials: ['clientID', 'clientSecret'],
  webURL: function(task) { return pageURL(task.number); },
  track: function(task) {
    var links = task.pageLinks(pageURL);
    task.request(pageURL(task.number), undefined,
                 {cache: false, headers: {Accept: 'text/html,application/xhtml+xml'}},
                 function(response) {
                   if (pageAnswer(task, response, links)) return;
                   if (response.offline) return task.failForResponse(response, links);
                   var clientID = task.credential('clientID');
                   var clientSecret = task.credential('clientSecret');
                   if (clientID && clientSecret)
                     return apiTrack(task, clientID, clientSecret, links);
                   task.failForResponse(response, links);
                 });
  },
});
