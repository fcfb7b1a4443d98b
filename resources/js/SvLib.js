// SvLib: the small DOM helper the pages load first. It offers the one form of "$" that the
// pages call: $(document).ready(fn) and $(fn) run fn once the document has been parsed.
(function (window, document) {
  "use strict";

  function whenReady(fn) {
    if (document.readyState === "loading") {
      document.addEventListener("DOMContentLoaded", function () { fn.call(document); });
    } else {
      fn.call(document);
    }
  }

  function Wrapped(target) {
    this.target = target;
  }
  Wrapped.prototype.ready = function (fn) {
    whenReady(fn);
    return this;
  };

  function dollar(arg) {
    if (typeof arg === "function") {
      whenReady(arg);
      return new Wrapped(document);
    }
    if (typeof arg === "string") {
      return new Wrapped(document.getElementById(arg.charAt(0) === "#" ? arg.slice(1) : arg));
    }
    return new Wrapped(arg);
  }

  if (typeof window.$ === "undefined") {
    window.$ = dollar;
  }
  window.SvLib = { ready: whenReady };
})(window, document);
