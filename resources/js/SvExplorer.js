// SvExplorer: what the page runtime needs to know about browsers the server takes for
// Internet Explorer. Current browsers can land here too, so nothing below depends on old
// Explorer features; document.documentMode tells a real one.
(function (window, document) {
  "use strict";
  window.SV = window.SV || {};
  SV.Browser = { isExplorer: !!document.documentMode };
})(window, document);
