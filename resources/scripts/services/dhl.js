// DHL Express and the other DHL divisions: the unified Shipment Tracking API, which resolves a
// number across divisions. It needs the user's own API key ("DHL-API-Key"); without one the
// delivery points at the public tracking page.

var endpoint = 'https://api-eu.dhl.com/track/shipments';

function webURL(task) {
  return (
      'https://www.dhl.com/global-en/home/tracking.html?' +
      Q.query({'tracking-id': task.number, submit: '1'}));
}

function place(status) {
  var address = Q.get(status, 'location', 'address') || {};
  // Written as DHL's systems spell it ("LEIPZIG - GERMANY"); capitalising would mangle
  // country codes inside the text.
  return Q.join(address.addressLocality, address.countryCode);
}

function event(status) {
  return Q.event(
      Q.isoDateTime(status.timestamp), Q.string(status.description) || Q.string(status.status),
      place(status));
}

var states = {
  'pre-transit': 'pending',
  transit: 'transit',
  delivered: 'delivered',
  failure: 'exception',
};

function answer(task, response) {
  if (response.status === 404) {
    task.notFound();
    return;
  }
  if (response.status === 401 || response.status === 403) {
    task.fail(S.credentialsRejected);
    return;
  }
  var data = task.answerJSON(response);
  if (!data) return;
  var shipment = Q.get(data, 'shipments', 0);
  if (!shipment) {
    if (response.status >= 400)
      task.fail(Q.format(S.serverError, response.status));
    else
      task.notFound();
    return;
  }
  var status = shipment.status || {};
  var state = states[Q.string(status.statusCode)] || 'transit';
  if (state === 'transit' &&
      /out for delivery|with delivery courier/i.test(Q.string(status.description)))
    state = 'out';
  task.finishTracking({
    state: state,
    text: Q.string(status.status) || Q.string(status.description),
    events: Q.array(shipment.events).map(event),
    expected: Q.isoDay(shipment.estimatedTimeOfDelivery) ||
        Q.isoDay(Q.get(shipment, 'estimatedDeliveryTimeFrame', 'estimatedThrough')),
    delivered: Q.isoDay(Q.get(shipment, 'details', 'proofOfDelivery', 'timestamp')),
    location: place(status),
  });
}

registerService('www.dhl.com', {
  webURL: webURL,
  track: function(task) {
    var key = task.credential('apiKey');
    if (!key) {
      task.openWebPage();
      return;
    }
    var url = endpoint + '?' + Q.query({trackingNumber: task.number, language: 'en'});
    var options = {cache: false, headers: {'DHL-API-Key': key, Accept: 'application/json'}};
    task.request(url, undefined, options, function(response) { answer(task, response); });
  },
});
