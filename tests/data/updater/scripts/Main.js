// Hands each delivery of a batch to the behaviour its "from" names; "extra" holds the
// behaviour's options as JSON. Each result says which batch it came from, so the tests can
// see how the host cut the run.
var batchNumber = 0;
var batchOpen = false;

function updateDeliveries(batch) {
  batchNumber += 1;
  var number = batchNumber;
  var overlap = batchOpen;
  batchOpen = true;
  var left = batch.length;
  var success = false;
  batch.forEach(function (delivery) {
    var options = delivery.extra ? JSON.parse(delivery.extra) : {};
    var finish = function (results) {
      results.uuid = delivery.uuid;
      results.batch = number;
      results.batchSize = batch.length;
      results.overlap = overlap;
      results.logLevel = logLevel;
      results.manualSignIn = typeof manualSignIn;
      results.commonFilesVersion = commonFilesVersion;
      results.usesClicks = usesClicks;
      updateDelivery(results);
      if (results.status >= 1) success = true;
      left -= 1;
      if (left === 0 && !options.skipFinal) {
        batchOpen = false;
        finalStatus(success);
      }
    };
    Behaviours[delivery.from](delivery, options, finish);
  });
}
