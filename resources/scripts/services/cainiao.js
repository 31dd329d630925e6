// Cainiao: the detail service that global.cainiao.com's tracking page reads; AliExpress and
// many Chinese shippers hand their parcels to it. No account is needed. China Post's
// international items (UPU numbers ending in CN) travel through the same network and are read
// from the same service; China Post's own enquiry answers only after a picture captcha, and
// its domestic numbers are pointed at its page.
//
// Sources (read 2026-12-08): public tracking projects and their tests that call this endpoint
// and describe its answer (success, module[].detailList[] with time in milliseconds, timeStr
// "yyyy-MM-dd HH:mm:ss" at the scan's place, desc, standerdDesc, actionCode; an empty
// detailList for a number Cainiao does not know; actionCode GTMS_SIGNED when delivered; China
// Post's UPU numbers "[A-Z]{2}\d{9}CN" among the numbers the service answers for).
var KEY = 'global.cainiao.com';
var API = 'https://global.cainiao.com/global/detail.json';
var PAGE = 'https://global.cainiao.com/newDetail.htm?mailNoList=';
var CHINA_POST_KEY = 'www.ems.com.cn';
var CHINA_POST_PAGE = 'https://www.ems.com.cn/queryList?mailNum=';
var CHINA_POST_INTERNATIONAL = /^[A-Z]{2}\d{9}CN$/;

var DELIVERED_ACTIONS = ['GTMS_SIGNED'];
var RETURN_ACTIONS = ['GTMS_RETURN_SIGNED', 'GTMS_RETURN_INBOUND'];

function webURL(number) { return PAGE + encodeURIComponent(number); }

function chinaPostURL(number) { return CHINA_POST_PAGE + encodeURIComponent(number); }

// A China Post delivery keeps China Post's page as its link.
function links(task) {
  return task.pageLinks(task.from === CHINA_POST_KEY ? chinaPostURL : webURL);
}

function detailEvent(detail) {
  var date = Q.isoDateTime(detail.timeStr);
  if (!date && typeof detail.time === 'number') date = Q.isoDateTime(new Date(detail.time));
  var event = Q.event(date, detail.desc || detail.standerdDesc);
  event.action = Q.trim(detail.actionCode).toUpperCase();
  return event;
}

function byNewest(a, b) {
  var left = a.date || '', right = b.date || '';
  return right < left ? -1 : (right > left ? 1 : 0);
}

function parcelItem(task, details) {
  var scans = details.map(detailEvent);
  scans.sort(byNewest);
  var action = (scans[0] || {}).action || '';
  var events = scans.map(function(scan) { return Q.event(scan.date, scan.text); });
  var latest = events[0] || {};
  var delivered = DELIVERED_ACTIONS.indexOf(action) >= 0;
  var returned = !delivered && (RETURN_ACTIONS.indexOf(action) >= 0 || /RETURN/.test(action));
  return Q.trackingItem(task.itemName, {
    state: delivered ? 'delivered' :
        returned     ? 'exception' :
                       'transit',
    status: returned && !latest.text ? S.returned : latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' && body.success === true) {
    var parcel = Q.array(body.module)[0];
    if (!parcel || typeof parcel !== 'object') return task.fail(S.unreadable, links(task));
    var details = Q.array(parcel.detailList).filter(function(detail) {
      return detail && typeof detail === 'object' && (detail.desc || detail.standerdDesc);
    });
    if (!details.length) return task.notFound(undefined, links(task));
    var item = parcelItem(task, details);
    return task.found([item], links(task));
  }
  task.failForResponse(response, links(task));
}

function track(task) {
  var query = Q.query({mailNos: task.number, lang: 'en-US', language: 'en-US'});
  task.request(
      API + '?' + query, undefined, {cache: false, headers: {'Accept': 'application/json'}},
      function(response) { answer(task, response); });
}

registerService(
    KEY, {access: 'keyless', webURL: function(task) { return webURL(task.number); }, track: track});

registerService(CHINA_POST_KEY, {
  access: 'keyless',
  webURL: function(task) { return chinaPostURL(task.number); },
  track: function(task) {
    if (!CHINA_POST_INTERNATIONAL.test(task.number)) return task.offerWebPage(chinaPostURL);
    track(task);
  }
});
