;;; mdspeak-test.el --- Tests of mdspeak.el against a scripted service -*- lexical-binding: t; -*-

;;; Commentary:

;; Run by ctest: emacs --batch -L editors/emacs -l tests/emacs/mdspeak-test.el
;; -f ert-run-tests-batch-and-exit, with MDSPEAK_FAKE naming fake-service.py.

;;; Code:

(require 'ert)
(require 'cl-lib)
(require 'mdspeak)

(defvar mdspeak-test--notes nil "What mdspeak told the user, latest first.")
(defvar mdspeak-test--log nil "File the fake service logs its requests to.")
(defvar mdspeak-test--words nil "Text under the word overlay after each event, latest first.")

(defun mdspeak-test--record-note (format-string &rest args)
  "Keep FORMAT-STRING formatted with ARGS in `mdspeak-test--notes'."
  (push (apply #'format-message format-string args) mdspeak-test--notes))

(defun mdspeak-test--record-word (&rest _)
  "Keep the text under the word overlay when it moved."
  (let* ((reading mdspeak--reading)
         (word (and reading (mdspeak--reading-word reading))))
    (when (and word (overlay-buffer word))
      (let ((text (with-current-buffer (overlay-buffer word)
                    (save-restriction
                      (widen)
                      (buffer-substring-no-properties (overlay-start word)
                                                      (overlay-end word))))))
        (unless (equal text (car mdspeak-test--words))
          (push text mdspeak-test--words))))))

(defmacro mdspeak-test--with-fake (mode &rest body)
  "Run BODY with the fake service in MODE, a string of comma-separated flags."
  (declare (indent 1) (debug t))
  `(let* ((mdspeak-test--log (make-temp-file "mdspeak-log"))
          (process-environment (append (list (concat "MDSPEAK_FAKE_MODE=" ,mode)
                                             (concat "MDSPEAK_FAKE_LOG=" mdspeak-test--log))
                                       process-environment))
          (mdspeak-service-program (getenv "MDSPEAK_FAKE"))
          (mdspeak-rate 1.0)
          (mdspeak-voice nil)
          (mdspeak-keep-reading-on-edit nil)
          (mdspeak-answer-timeout 2)
          (mdspeak-pause-timeout 0.3)
          (mdspeak-test--notes nil)
          (mdspeak-test--words nil))
     (advice-add 'mdspeak--notify :override #'mdspeak-test--record-note)
     (advice-add 'mdspeak--event :after #'mdspeak-test--record-word)
     (unwind-protect
         (progn ,@body)
       (mdspeak-shutdown)
       (advice-remove 'mdspeak--notify #'mdspeak-test--record-note)
       (advice-remove 'mdspeak--event #'mdspeak-test--record-word)
       (delete-file mdspeak-test--log))))

(defun mdspeak-test--wait (predicate)
  "Process the service's output until PREDICATE holds; fail after 5 s."
  (let ((deadline (+ (float-time) 5)))
    (while (and (not (funcall predicate)) (< (float-time) deadline))
      (accept-process-output nil 0.02))
    (should (funcall predicate))))

(defun mdspeak-test--settle ()
  "Handle what the service sent meanwhile."
  (dotimes (_ 10) (accept-process-output nil 0.01)))

(defun mdspeak-test--requests ()
  "The requests the fake service received, as alists."
  (mdspeak-test--settle)
  (with-temp-buffer
    (insert-file-contents mdspeak-test--log)
    (mapcar (lambda (line) (json-parse-string line :object-type 'alist :null-object nil
                                              :false-object nil))
            (split-string (buffer-string) "\n" t))))

(defun mdspeak-test--sent ()
  "The requests received, each as its type and, when given, start offset."
  (mapcar (lambda (r) (let ((type (alist-get 'type r)) (start (alist-get 'start_offset r)))
                        (if start (format "%s %d" type start) type)))
          (mdspeak-test--requests)))

(defun mdspeak-test--overlay-text (slot)
  "Text under the reading's overlay SLOT (`utterance' or `word'), or nil."
  (let* ((reading mdspeak--reading)
         (overlay (and reading (if (eq slot 'word) (mdspeak--reading-word reading)
                                 (mdspeak--reading-utterance reading)))))
    (and overlay (overlay-buffer overlay)
         (with-current-buffer (overlay-buffer overlay)
           (save-restriction
             (widen)
             (buffer-substring-no-properties (overlay-start overlay) (overlay-end overlay)))))))

(defun mdspeak-test--overlays (buffer)
  "The overlays mdspeak left in BUFFER."
  (with-current-buffer buffer
    (save-restriction
      (widen)
      (cl-remove-if-not (lambda (o) (overlay-get o 'mdspeak))
                        (overlays-in (point-min) (point-max))))))

(defun mdspeak-test--visit (name bytes)
  "Visit a file NAME holding BYTES, show it in the selected window, return it."
  (let ((file (expand-file-name name (make-temp-file "mdspeak" t))))
    (let ((coding-system-for-write 'binary))
      (write-region bytes nil file nil 'silent))
    (switch-to-buffer (find-file-noselect file))
    (current-buffer)))

(defun mdspeak-test--read (command)
  "Run COMMAND and wait until its first utterance is highlighted."
  (funcall command)
  (mdspeak-test--wait (lambda () (mdspeak-test--overlay-text 'utterance))))

;;;; Offsets

(ert-deftest mdspeak-test-offsets-round-trip ()
  "Every character's byte offset maps back to it, raw bytes are refused."
  (with-temp-buffer
    (insert "# Café\n\n日本語 😀 ok\r\nx")
    (dotimes (i (buffer-size))
      (let ((position (1+ i)))
        (should (= (mdspeak--offset position)
                   (length (encode-coding-string (buffer-substring 1 position) 'utf-8))))
        (should (= (mdspeak--position (mdspeak--offset position)) position))))
    (should (= (mdspeak--position 10000) (point-max)))
    (insert (string #x3FFF80))
    (should (string-match-p "not UTF-8 text"
                            (cadr (should-error (mdspeak--buffer-text) :type 'mdspeak-error))))))

(ert-deftest mdspeak-test-words-land-on-their-bytes ()
  "Word overlays cover the words the service found, in any buffer."
  ;; What the buffer is visited from, how it is changed before reading, what to read.
  (dolist (case '(("crlf.md" "# Café naïve\r\n\r\nThe über 日本 test.\r\n" nil
                   mdspeak-read ("Café" "naïve" "The" "über" "日本" "test."))
                  ("emoji.md" "# 😀 smile\n\nSaved.\n" (insert "Ünï 日本, unsaved.\n\n")
                   mdspeak-read ("Ünï" "日本," "unsaved." "😀" "smile" "Saved."))
                  ("narrow.md" "# One\n\nSkip. Ñandú reads.\n\nAfter.\n"
                   (narrow-to-region (search-forward "Skip. ") (line-end-position))
                   mdspeak-read ("Ñandú" "reads."))
                  ("region.md" "Ça va.\n\nÀ bientôt.\n"
                   (progn (transient-mark-mode) (goto-char 1) (push-mark 7 t t))
                   mdspeak-read ("Ça" "va."))
                  ("point.md" "# Title\n\nFirst.\n\nSecond ö line.\n" (search-forward "ö")
                   mdspeak-read-from-point ("Second" "ö" "line."))))
    (mdspeak-test--with-fake "finish"
      (let ((buffer (mdspeak-test--visit (nth 0 case) (encode-coding-string (nth 1 case) 'utf-8))))
        (eval (nth 2 case) t)
        (funcall (nth 3 case))
        (mdspeak-test--wait (lambda () (null mdspeak--reading)))
        (should (equal (reverse mdspeak-test--words) (nth 4 case)))
        ;; The text sent is the buffer's, line feeds only, even before it is saved.
        (let ((load (cl-find "load_document" (mdspeak-test--requests)
                             :key (lambda (r) (alist-get 'type r)) :test #'equal)))
          (should (equal (alist-get 'text load)
                         (save-restriction (widen) (buffer-string)))))
        (should-not (mdspeak-test--overlays buffer))
        (kill-buffer buffer)))))

;;;; Protocol sequences

(ert-deftest mdspeak-test-read-pause-resume-stop ()
  "A reading's requests, highlights and mode line from start to stop."
  (mdspeak-test--with-fake ""
    (let ((buffer (mdspeak-test--visit "a.md" "# Title\n\nOne two three.\n")))
      (mdspeak-test--read #'mdspeak-read)
      (should (equal (mdspeak-test--overlay-text 'utterance) "Title"))
      (should (equal (mdspeak--lighter) " mdspeak[reading · English · 1/2]"))
      (mdspeak-pause-resume)
      (should (equal (mdspeak--lighter) " mdspeak[paused · English · 1/2]"))
      (should (equal (mdspeak-test--overlay-text 'utterance) "Title"))
      (mdspeak-pause-resume)
      (mdspeak-test--settle)
      (should (equal (mdspeak-test--overlay-text 'word) "Title"))
      (should (= (point) 3))            ; point follows the word
      (let ((request (nth 3 (mdspeak-test--requests))))
        (should (equal (alist-get 'word_events request) t))
        (should (equal (alist-get 'rate request) 1.0))
        (should (equal (alist-get 'document_id request)
                       (mdspeak--doc-id mdspeak--document))))
      (mdspeak-stop)
      (should-not (mdspeak-test--overlays buffer))
      (should-not mdspeak-reading-mode)
      (should (equal (mdspeak-test--sent)
                     '("init" "load_document" "prepare_speech" "speak 0" "pause" "resume"
                       "stop")))
      (should (equal (alist-get 'reading (nth 1 (mdspeak-test--requests))) "natural"))
      (should-not mdspeak-test--notes))))

(ert-deftest mdspeak-test-reading-to-the-end ()
  "A reading that ends clears its highlights; the summary is shown as spoken."
  (mdspeak-test--with-fake "finish"
    (let ((buffer (mdspeak-test--visit "b.md" "# Title\n\nOne. Two.\n")))
      (mdspeak-read)
      (mdspeak-test--wait (lambda () (null mdspeak--reading)))
      (should (equal (reverse mdspeak-test--words) '("Title" "One." "Two.")))
      (should-not (mdspeak-test--overlays buffer))
      (mdspeak-summary)
      (mdspeak-test--wait (lambda () (null mdspeak--reading)))
      (should (equal mdspeak-test--notes '("This document is a test.")))
      ;; Loaded once: the text did not change.
      (should (equal (mdspeak-test--sent)
                     '("init" "load_document" "prepare_speech" "speak 0" "speak_summary"))))))

(ert-deftest mdspeak-test-natural-reading-fallback ()
  "A service refusing natural reading loads plainly, then is not asked again."
  (dolist (case '(("" ("load_document") 1)
                  ("no-natural" ("load_document" "load_document") 0)))
    (mdspeak-test--with-fake (car case)
      (mdspeak-test--visit "c.md" "Para one. Para two.\n\n```sh\n")
      (mdspeak-test--read #'mdspeak-read)
      (let ((loads (cl-remove "load_document" (mdspeak-test--requests)
                              :key (lambda (r) (alist-get 'type r)) :test-not #'equal)))
        (should (equal (mapcar (lambda (r) (alist-get 'type r)) loads) (nth 1 case)))
        (should (equal (alist-get 'reading (car (last loads))) (and (cdr (nth 1 case)) nil)
                       ))))))

(provide 'mdspeak-test)
;;; mdspeak-test.el ends here
