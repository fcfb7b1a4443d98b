// SvGecko: what the page runtime needs to know about standards-based browsers.
(function (window) {
  "use strict";
  window.SV = window.SV || {};
  SV.Browser = { isExplorer: false };
})(window);
