// GoFo Express: the tracking services that gofo.com's own country tracking pages post to. No
// account is needed. A number reads GF<country><digits>; the country picks the service: the
// consignee service for the United States and Canada, the shop tracking service for Italy,
// France, Spain and the Netherlands.
//
// Sources (read 2026-12-08): a public Home Assistant integration, its constants and its
// redacted test payloads, which describe both services: a POST of {"numberList": [number]};
// the consignee service answers {success, data: {success: [item], error: {...}}} (an empty
// success list with an error is an unknown number), the shop service {code: 200, data:
// [item]} (an empty list is an unknown number); an item has waybillNo, status ("Delivered",
// "Transit") and trackEventList[] newest first with processDate ("2025-10-16T13:54:05.000-0700",
// local time at the scan's place), processContent, processCode (100 label created, 208 out
// for delivery, 205 delivered), processCity/processProvince or processLocation.
var KEY = 'www.gofo.com';
var CONSIGNEE_API = 'https://www.gofo.com/%@/cnee-api/consignee/track/query';
var SHOP_API = 'https://www.gofo.com/%@/open-api/official/track/queryTrackV2';
var PAGE = 'https://www.gofo.com/%@/track?number=%@';

var CONSIGNEE_COUNTRIES = {US: 'America/New_York', CA: 'America/Toronto'};
var SHOP_COUNTRIES = {IT: 'it', FR: 'fr', ES: 'es', NL: 'nl'};
// Numbers without a known country go to the United States service, GoFo's main one.
var DEFAULT_COUNTRY = 'US';

var DELIVERED_CODES = ['205'];
var LABEL_CODES = ['100'];

function country(number) {
  var code = /^GF([A-Z]{2})/.exec(number);
  var found = code ? code[1] : '';
  return CONSIGNEE_COUNTRIES[found] || SHOP_COUNTRIES[found] ? found : DEFAULT_COUNTRY;
}

function webURL(number) {
  return Q.format(PAGE, country(number).toLowerCase(), encodeURIComponent(number));
}

function links(task) { return task.pageLinks(webURL); }

function scanEvent(event) {
  var place = Q.join(Q.capitalize(event.processCity), event.processProvince) ||
      Q.capitalize(event.processLocation);
  var scan =
      Q.event(Q.isoDateTime(event.processDate), event.processContent || event.mainContent, place);
  scan.code = Q.trim(event.processCode);
  return scan;
}

function parcelItem(task, parcel) {
  var scans = Q.array(parcel.trackEventList)
                  .filter(function(event) { return event && typeof event === 'object'; })
                  .map(scanEvent);
  scans.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var code = (scans[0] || {}).code || '';
  var events = scans.map(function(scan) { return Q.event(scan.date, scan.text, scan.location); });
  var latest = events[0] || {};
  var delivered = /^delivered$/i.test(Q.trim(parcel.status)) || DELIVERED_CODES.indexOf(code) >= 0;
  return Q.trackingItem(task.itemName, {
    state: delivered                   ? 'delivered' :
        LABEL_CODES.indexOf(code) >= 0 ? 'pending' :
                                         'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: latest.location,
    history: events
  });
}

// The item of the number, or undefined when the service does not know it; null when the
// answer is no answer of the service at all.
function itemOf(task, body) {
  var items;
  if (CONSIGNEE_COUNTRIES[country(task.number)]) {
    if (body.success !== true && body.success !== 1) {
      return Q.get(body, 'data', 'error') !== undefined ? undefined : null;
    }
    items = Q.get(body, 'data', 'success');
  } else {
    if (Number(body.code) !== 200) return null;
    items = body.data;
  }
  return Q.array(items).filter(function(item) {
    return item && typeof item === 'object' && Q.trim(item.waybillNo).toUpperCase() === task.number;
  })[0];
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && !Array.isArray(body)) {
    var parcel = itemOf(task, body);
    if (parcel === null) return task.fail(S.unreadable, links(task));
    if (!parcel || !Q.array(parcel.trackEventList).length)
      return task.notFound(undefined, links(task));
    return task.found([parcelItem(task, parcel)], links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    var code = country(task.number);
    var consignee = CONSIGNEE_COUNTRIES[code];
    var headers = consignee ? {'Accept': 'application/json', 'User-Time-Zone': consignee} :
                              {'Accept': 'application/json', 'lang': SHOP_COUNTRIES[code]};
    task.request(
        Q.format(consignee ? CONSIGNEE_API : SHOP_API, code.toLowerCase()),
        JSON.stringify({numberList: [task.number]}),
        {postType: 'application/json', cache: false, headers: headers},
        function(response) { answer(task, response); });
  }
});
