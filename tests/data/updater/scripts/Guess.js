// Loaded in the tracking context too; defines only.
var guessLoaded = true;
