// Modules that misbehave on purpose, to check that one delivery's fault stays its own.
registerService("test.throws", {
  track: function (task) {
    throw new TypeError("broken module");
  },
});
registerService("test.throws-later", {
  track: function (task) {
    task.request("https://test.example/a", undefined, {}, function (response) {
      undefinedFunctionOfThisModule(response.text);
    });
  },
});
registerService("test.forgets", {
  track: function (task) {
    task.request("https://test.example/b", undefined, {}, function (response) {
      // Returns without finishing and without asking for more.
    });
  },
});
registerService("test.twice", {
  track: function (task) {
    task.progress("Looking");
    task.finish({ status: 2, items: [{ itemName: "First", icon: "checkmark" }] });
    task.finish({ status: 0 });
  },
});
registerService("test.progress", {
  track: function (task) {
    task.progress("Signing in");
    task.request("https://test.example/c", "a=1", { postType: "text/plain" }, function (response) {
      task.finish({ status: 2, interval: 5, items: [{ itemName: response.text, icon: "truck" }] });
    });
  },
});
