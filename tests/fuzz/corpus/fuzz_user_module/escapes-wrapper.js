})(); registerService = null; (function(){
