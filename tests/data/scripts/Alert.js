// Says hello through the host when loaded.
alert("Hello from a script");
