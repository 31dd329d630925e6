// CJ Logistics (CJ대한통운): the detail list service that trace.cjlogistics.com's tracking page
// posts to. No account is needed; the texts come in Korean as the page shows them.
//
// Sources (read 2026-12-08): public Korean tracking projects and bots that call this endpoint
// and describe its answer (resultCode 200; data.svcOutList[] with crgStDnm, the state's name,
// crgStDcdVal, branNm, the branch, workDt "yyyy-MM-dd" or "yyyy.MM.dd" and workHms "HH:mm:ss"
// in Korean time; an empty list for a number CJ has not scanned).
var KEY = 'www.cjlogistics.com';
var API = 'https://trace.cjlogistics.com/next/rest/selectTrackingDetailList.do';
var PAGE = 'https://trace.cjlogistics.com/next/tracking.html?wblNo=';

// "배달완료" (delivered) and its variants.
var DELIVERED = /배달완료|배송완료|수취완료|수령완료/;

// Waybill numbers are often written with dashes; the services take the digits only.
function waybill(number) { return number.replace(/-/g, ''); }

function webURL(number) { return PAGE + encodeURIComponent(waybill(number)); }

function links(task) { return task.pageLinks(webURL); }

function workEvent(entry) {
  var day = Q.trim(entry.workDt).replace(/\./g, '-');
  return Q.event(
      Q.isoDateTime(day, Q.trim(entry.workHms) || '000000'), entry.crgStDnm, entry.branNm);
}

function waybillItem(task, entries) {
  var events = entries.map(workEvent);
  events.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var latest = events[0] || {};
  var delivered = DELIVERED.test(latest.text || '');
  return Q.trackingItem(task.itemName, {
    state: delivered ? 'delivered' : 'transit',
    status: latest.text,
    statusDate: latest.date,
    firstDate: (events[events.length - 1] || {}).date,
    location: latest.location,
    history: events
  });
}

function answer(task, response) {
  if (response.offline) return task.failForResponse(response, links(task));
  var body = Q.json(response.text);
  if (response.status === 200 && body && typeof body === 'object' &&
      Q.string(body.resultCode) === '200') {
    var entries = Q.array(Q.get(body, 'data', 'svcOutList')).filter(function(entry) {
      return entry && typeof entry === 'object' && Q.trim(entry.crgStDnm) && Q.trim(entry.workDt);
    });
    if (!entries.length) return task.notFound(undefined, links(task));
    var item = waybillItem(task, entries);
    return task.found([item], links(task));
  }
  task.failForResponse(response, links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API, Q.form({wblNo: waybill(task.number)}),
        {cache: false, referer: webURL(task.number), headers: {'Accept': 'application/json'}},
        function(response) { answer(task, response); });
  }
});
