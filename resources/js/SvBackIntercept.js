// SvBackIntercept: defines SVBackIntercept, which keeps the browser's Back button on the
// current page, optionally telling the user why. Loaded by pages whose form asks for it.
var SVBackIntercept = (function (window) {
  "use strict";
  var state = { armed: false, showMessage: false, message: "", urlBase: "" };

  function onPopState() {
    if (!state.armed) {
      return;
    }
    // Step forward again onto the entry the page pushed.
    window.history.pushState({ sv: true }, "");
    if (state.showMessage && state.message) {
      window.alert(state.message);
    }
  }

  return {
    // `useFrame` is accepted for older pages and ignored; `urlBase` is the internal URL base.
    Init: function (useFrame, showMessage, message, urlBase) {
      state.showMessage = !!showMessage;
      state.message = message || "";
      state.urlBase = urlBase || "";
      if (!state.armed && window.history && window.history.pushState) {
        window.history.pushState({ sv: true }, "");
        window.addEventListener("popstate", onPopState);
        state.armed = true;
      }
    }
  };
})(window);
