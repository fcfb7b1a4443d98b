// SvBase: the page runtime. The rendered page calls these names from its inline script and
// its body attributes: the page locker, window size bookkeeping, the client-side objects of
// the controls (SV.initSVCL and the form object SVCLForm), keep-alive pings and clean-up.
var SV = window.SV || {};

// Set by the page's start-up procedure: lock the page while a submit is on its way.
var GActivateLock = false;
// True from a submit until the page is left or released.
var GSubmitting = false;
// The form's size as the server rendered it; controls anchored right or bottom follow the
// window from there.
var GFormWidth = 0;
var GFormHeight = 0;

// Alignment names written by the server into the control start-up lines.
var alNone = 0, alTop = 1, alBottom = 2, alLeft = 3, alRight = 4, alClient = 5;

function CreateAnchors(left, right, top, bottom) {
  this.left = !!left;
  this.right = !!right;
  this.top = !!top;
  this.bottom = !!bottom;
}

(function (window, document) {
  "use strict";

  var lockerId = "SVLocker";
  var lockerStyleId = "SVLockerStyle";

  function addLockerStyle() {
    if (document.getElementById(lockerStyleId)) {
      return;
    }
    var style = document.createElement("style");
    style.id = lockerStyleId;
    style.textContent =
      "#" + lockerId + " { position: fixed; left: 0; top: 0; right: 0; bottom: 0;" +
      " z-index: 2147483000; display: none; cursor: wait;" +
      " background-color: rgba(255, 255, 255, 0.35); }\n" +
      "#" + lockerId + ".SVLocked { display: block; }\n" +
      "#" + lockerId + " img { position: absolute; left: 50%; top: 50%;" +
      " width: 16px; height: 16px; margin: -8px 0 0 -8px; }\n";
    (document.head || document.documentElement).appendChild(style);
  }

  function locker() {
    return document.getElementById(lockerId);
  }

  // Creates the hidden layer that covers the page while it loads or submits; `imageUrl`
  // (may be empty) is the animation shown in its middle.
  window.createSVLocker = function (imageUrl) {
    if (locker()) {
      return;
    }
    addLockerStyle();
    var layer = document.createElement("div");
    layer.id = lockerId;
    layer.setAttribute("aria-busy", "true");
    if (imageUrl) {
      var image = document.createElement("img");
      image.src = imageUrl;
      image.alt = "";
      layer.appendChild(image);
    }
    var parent = document.body || document.documentElement;
    parent.insertBefore(layer, parent.firstChild);
  };

  window.ActivateLock = function () {
    var layer = locker();
    if (layer) {
      layer.className = "SVLocked";
    }
  };

  window.ReleaseLock = function () {
    var layer = locker();
    if (layer) {
      layer.className = "";
    }
    GSubmitting = false;
  };

  window.InitRects = function (width, height) {
    GFormWidth = width;
    GFormHeight = height;
    SV.lastWindowSize = windowSize();
  };

  function windowSize() {
    var root = document.documentElement;
    return {
      width: window.innerWidth || (root && root.clientWidth) || document.body.clientWidth,
      height: window.innerHeight || (root && root.clientHeight) || document.body.clientHeight
    };
  }

  // ---- client-side objects of the controls ----

  function ControlObject(parent, name, hasValue) {
    this.name = name;
    this.parent = parent;
    this.hasValue = !!hasValue;
    this.element = document.getElementById(name);
    this.align = alNone;
    this.anchors = new CreateAnchors(true, false, true, false);
    this.children = [];
    this.rect = null;
  }

  ControlObject.prototype.SetAlign = function (align) {
    this.align = align;
  };

  ControlObject.prototype.SetAnchors = function (anchors) {
    this.anchors = anchors;
  };

  ControlObject.prototype.Value = function () {
    return this.hasValue && this.element && "value" in this.element ? this.element.value : null;
  };

  // Places an aligned or anchored control for a window of `size`; others keep their place.
  ControlObject.prototype.Layout = function (size) {
    var e = this.element;
    if (!e || (this.align === alNone && this.anchors.left && this.anchors.top &&
               !this.anchors.right && !this.anchors.bottom)) {
      return;
    }
    if (!this.rect) {
      this.rect = { left: e.offsetLeft, top: e.offsetTop, width: e.offsetWidth,
                    height: e.offsetHeight };
    }
    var r = this.rect, s = e.style;
    var dw = size.width - (GFormWidth || size.width);
    var dh = size.height - (GFormHeight || size.height);
    switch (this.align) {
      case alClient:
        s.left = "0px"; s.top = "0px";
        s.width = size.width + "px"; s.height = size.height + "px";
        return;
      case alTop:
        s.left = "0px"; s.top = "0px"; s.width = size.width + "px";
        return;
      case alBottom:
        s.left = "0px"; s.top = (size.height - r.height) + "px"; s.width = size.width + "px";
        return;
      case alLeft:
        s.left = "0px"; s.top = "0px"; s.height = size.height + "px";
        return;
      case alRight:
        s.left = (size.width - r.width) + "px"; s.top = "0px"; s.height = size.height + "px";
        return;
    }
    if (this.anchors.right) {
      if (this.anchors.left) {
        s.width = Math.max(0, r.width + dw) + "px";
      } else {
        s.left = (r.left + dw) + "px";
      }
    }
    if (this.anchors.bottom) {
      if (this.anchors.top) {
        s.height = Math.max(0, r.height + dh) + "px";
      } else {
        s.top = (r.top + dh) + "px";
      }
    }
  };

  // The form itself: the parent of every control placed on it.
  window.SVCLForm = new ControlObject(null, "SubmitForm", false);

  // Creates the client-side object of control `name` under `parent`; it is reachable as the
  // global name + "SVCL" for the lines that follow it.
  SV.initSVCL = function (parent, name, hasValue) {
    var object = new ControlObject(parent, name, hasValue);
    if (parent) {
      parent.children.push(object);
    }
    window[name + "SVCL"] = object;
    return object;
  };

  function eachControl(fn) {
    var pending = SVCLForm.children.slice();
    while (pending.length) {
      var object = pending.shift();
      fn(object);
      Array.prototype.push.apply(pending, object.children);
    }
  }

  // ---- window events ----

  var resizeTimer = null;

  // Lays the controls out again and, once the window stops changing, tells the session its
  // new size so that the next page is rendered for it.
  window.Body_OnResize = function () {
    var size = windowSize();
    eachControl(function (object) { object.Layout(size); });
    var last = SV.lastWindowSize;
    if (last && (last.width !== size.width || last.height !== size.height)) {
      SV.lastWindowSize = size;
      if (resizeTimer) {
        clearTimeout(resizeTimer);
      }
      var delay = typeof GOnResizetimeout === "number" ? GOnResizetimeout : 1000;
      resizeTimer = setTimeout(function () {
        resizeTimer = null;
        SV.Session.send("resize", "SV_width=" + size.width + "&SV_height=" + size.height);
      }, delay);
    }
  };

  window.AttachBeforeUnload = function () {
    window.addEventListener("beforeunload", function () {
      if (GSubmitting && GActivateLock) {
        ActivateLock();
      }
    });
    // A page restored from the back-forward cache must not stay locked.
    window.addEventListener("pageshow", function (event) {
      if (event.persisted) {
        ReleaseLock();
      }
    });
    var form = document.forms.SubmitForm;
    if (form) {
      form.addEventListener("submit", function () {
        GSubmitting = true;
        if (GActivateLock) {
          ActivateLock();
        }
      });
    }
  };

  window.ReleaseSVCL = function () {
    SV.Session.stopKeepAlive();
    if (resizeTimer) {
      clearTimeout(resizeTimer);
      resizeTimer = null;
    }
    eachControl(function (object) {
      object.element = null;
      try {
        delete window[object.name + "SVCL"];
      } catch (ignored) {
        window[object.name + "SVCL"] = undefined;
      }
    });
    SVCLForm.children = [];
  };

  // ---- helpers ----

  SV.Utils = {
    // Old Internet Explorer gave the body a margin of its own; current browsers follow the
    // body's style attribute.
    fixIEMargins: function () {
      if (document.documentMode && document.body) {
        document.body.style.margin = "0";
        document.body.style.padding = "0";
      }
    }
  };

  var keepAliveTimer = null;

  SV.Session = {
    // Requests `action` under the session's internal URL; the session cookie names the
    // session. Failures are left to the next page load, which reports an ended session.
    send: function (action, query) {
      if (typeof GURLBase !== "string") {
        return;
      }
      var request = new XMLHttpRequest();
      var url = GURLBase + action + "?SV_AjaxID=" + Date.now() + (query ? "&" + query : "");
      request.open("GET", url, true);
      request.send();
    },
    // Pings the session every `interval` milliseconds so that it does not expire while the
    // page stays open.
    initKeepAlive: function (interval) {
      SV.Session.stopKeepAlive();
      if (interval > 0) {
        keepAliveTimer = setInterval(function () { SV.Session.send("KeepAlive"); }, interval);
      }
    },
    stopKeepAlive: function () {
      if (keepAliveTimer) {
        clearInterval(keepAliveTimer);
        keepAliveTimer = null;
      }
    }
  };

  // The page sets this; a form with a default action submits on Enter.
  SV.implicitSubmit = false;
})(window, document);
