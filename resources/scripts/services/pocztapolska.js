// Poczta Polska: the tracking web service ("Sledzenie") that Poczta Polska offers for free,
// with the public sign-in it publishes for anonymous tracking. The user needs no account.
//
// Sources, read 2026-12-08: Poczta Polska's web services page (poczta-polska.pl/
// webservices, quoted by several clients for the public sign-in) and public clients of the
// service (a Node library, Ruby, PHP, Swift and C# clients), which describe the SOAP 1.1
// endpoint, the WS-Security user name token, the "sprawdzPrzesylke" call with "numer", and
// the answer: "status" (0 found, -1 no such item, -2 a wrong number, -99 another error) and
// "danePrzesylki" → "zdarzenia" → "zdarzenie" (czas "yyyy-MM-dd HH:mm", nazwa, kod,
// konczace, jednostka → nazwa, przyczyna).

var KEY = 'www.pocztapolska.pl';
var API = 'https://tt.poczta-polska.pl/Sledzenie/services/Sledzenie.SledzenieHttpSoap11Endpoint/';
var PAGE = 'https://emonitoring.poczta-polska.pl/?numer=';
// The sign-in Poczta Polska publishes for anonymous tracking.
var USER = 'sledzeniepp';
var PASSWORD = 'PPSA';

// Event codes: P_D final delivery, P_WD out for delivery, P_A a failed delivery, P_NDZ
// returned to the sender, P_NAD posted.
var DELIVERED = ['P_D'];
var OUT = ['P_WD'];
var EXCEPTIONS = ['P_A', 'P_NDZ'];
var FOUND = ['0', '1'];
var UNKNOWN = ['-1', '-2'];
var RETURNED_TEXT = /zwrot|zwr[óo]cono|returned/i;

function webURL(number) { return PAGE + encodeURIComponent(number); }

function links(task) { return task.pageLinks(webURL); }

// Answers without tracking data fail the update, told apart by what went wrong.
function problem(task, response) { task.failForResponse(response, links(task)); }

function escapeXML(text) {
  return Q.string(text).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
}

function envelope(number) {
  return '<?xml version="1.0" encoding="UTF-8"?>' +
      '<soapenv:Envelope xmlns:soapenv="http://schemas.xmlsoap.org/soap/envelope/"' +
      ' xmlns:sled="http://sledzenie.pocztapolska.pl"><soapenv:Header>' +
      '<wsse:Security soapenv:mustUnderstand="1" xmlns:wsse="http://docs.oasis-open.org/wss/' +
      '2004/01/oasis-200401-wss-wssecurity-secext-1.0.xsd"><wsse:UsernameToken>' +
      '<wsse:Username>' + USER + '</wsse:Username><wsse:Password Type="http://docs.oasis-open' +
      '.org/wss/2004/01/oasis-200401-wss-username-token-profile-1.0#PasswordText">' + PASSWORD +
      '</wsse:Password></wsse:UsernameToken></wsse:Security></soapenv:Header><soapenv:Body>' +
      '<sled:sprawdzPrzesylke><sled:numer>' + escapeXML(number) + '</sled:numer>' +
      '</sled:sprawdzPrzesylke></soapenv:Body></soapenv:Envelope>';
}

// The text of the first element with that local name (any namespace prefix), entities
// decoded; undefined when there is none.
function element(xml, name) {
  var match =
      new RegExp(
          '<(?:[\\w.-]+:)?' + name + '\\b[^>]*>([\\s\\S]*?)</(?:[\\w.-]+:)?' + name + '\\s*>')
          .exec(xml);
  return match ? match[1] : undefined;
}

function elements(xml, name) {
  var pattern = new RegExp(
      '<(?:[\\w.-]+:)?' + name + '\\b[^>]*>([\\s\\S]*?)</(?:[\\w.-]+:)?' + name + '\\s*>', 'g');
  var result = [];
  var match;
  while ((match = pattern.exec(xml))) result.push(match[1]);
  return result;
}

function text(xml, name) {
  var value = element(xml, name);
  return value === undefined ? undefined : Q.trim(Q.decodeEntities(value));
}

function state(code, name) {
  if (EXCEPTIONS.indexOf(code) >= 0 || RETURNED_TEXT.test(name)) return 'exception';
  if (DELIVERED.indexOf(code) >= 0) return 'delivered';
  if (OUT.indexOf(code) >= 0) return 'out';
  return 'transit';
}

function answer(task, response) {
  if (response.offline) return problem(task, response);
  var xml = response.text;
  var result = response.status === 200 ? element(xml, 'sprawdzPrzesylkeResponse') : undefined;
  // A cut-off answer has no closing tags, so the whole response element is missing.
  if (result === undefined) return problem(task, response);
  var status = text(result, 'status');
  if (UNKNOWN.indexOf(status) >= 0) return task.notFound(undefined, links(task));
  if (FOUND.indexOf(status) < 0) return problem(task, response);
  var rows = elements(element(result, 'zdarzenia') || '', 'zdarzenie').map(function(row) {
    // The office's own name sits inside "jednostka"; the event's name is the one outside it.
    var office = element(row, 'jednostka') || '';
    var outside =
        row.replace(/<(?:[\w.-]+:)?jednostka\b[\s\S]*?<\/(?:[\w.-]+:)?jednostka\s*>/, '')
            .replace(/<(?:[\w.-]+:)?przyczyna\b[\s\S]*?<\/(?:[\w.-]+:)?przyczyna\s*>/, '');
    return {
      date: Q.isoDateTime(text(outside, 'czas')),
      name: text(outside, 'nazwa'),
      code: text(outside, 'kod'),
      office: text(office, 'nazwa')
    };
  });
  if (!rows.length) return task.notFound(undefined, links(task));
  rows.sort(function(a, b) {
    var left = a.date || '', right = b.date || '';
    return right < left ? -1 : (right > left ? 1 : 0);
  });
  var events = rows.map(function(row) { return Q.event(row.date, row.name, row.office); });
  var latest = events[0];
  var item = Q.trackingItem(task.itemName, {
    state: state(Q.string(rows[0].code), Q.string(rows[0].name)),
    status: latest.text,
    statusDate: latest.date,
    firstDate: events[events.length - 1].date,
    location: latest.location,
    history: events
  });
  task.found([item], links(task));
}

registerService(KEY, {
  access: 'keyless',
  webURL: function(task) { return webURL(task.number); },
  track: function(task) {
    task.request(
        API, envelope(task.number), {
          cache: false,
          postType: 'text/xml; charset=utf-8',
          headers: {'SOAPAction': 'urn:sprawdzPrzesylke'}
        },
        function(response) { answer(task, response); });
  }
});
