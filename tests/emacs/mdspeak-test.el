;;; mdspeak-test.el --- Tests of mdspeak.el against a scripted service -*- lexical-binding: t; -*-

;;; Commentary:

;; Run by ctest: emacs --batch -L editors/emacs -l tests/emacs/mdspeak-test.el
;; -f ert-run-tests-batch-and-exit, with MDSPEAK_FAKE naming fake-service.py.

;;; Code:

(require 'ert)
(require 'cl-lib)
(require 'checkdoc)
(require 'mdspeak)

(defvar mdspeak-test--notes nil "What mdspeak told the user, latest first.")
(defvar mdspeak-test--log nil "File the fake service logs its requests to.")
(defvar mdspeak-test--words nil "Text under the word overlay after each event, latest first.")
(defvar mdspeak-test--events 0 "Events the reading took.")

(defun mdspeak-test--record-note (format-string &rest args)
  "Keep FORMAT-STRING formatted with ARGS in `mdspeak-test--notes'."
  (push (apply #'format-message format-string args) mdspeak-test--notes))

(defun mdspeak-test--record-word (&rest _)
  "Keep the text under the word overlay when it moved."
  (cl-incf mdspeak-test--events)
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
                                             (concat "MDSPEAK_FAKE_LOG=" mdspeak-test--log)
                                             ;; The user's pronunciations stay out.
                                             "XDG_CONFIG_HOME=/nonexistent")
                                       process-environment))
          (mdspeak-pronunciations nil)
          (mdspeak-service-program (getenv "MDSPEAK_FAKE"))
          (mdspeak-rate 1.0)
          (mdspeak-voice nil)
          (mdspeak-keep-reading-on-edit nil)
          (mdspeak-answer-timeout 5)
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
  "Process the service's output until PREDICATE holds; fail after 10 s."
  (let ((deadline (+ (float-time) 10)))
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

;;;; Languages, voices and pronunciations

(ert-deftest mdspeak-test-mode-line-names-the-voice-heard ()
  "The mode line shows the language and voice the service names for each utterance."
  (mdspeak-test--with-fake "names-voices"
    (mdspeak-test--visit "v.md" "Hello there.\n\nHola, ¿qué tal?\n")
    (mdspeak-test--read #'mdspeak-read)
    ;; The names come with the voice list, asked for in the background.
    (mdspeak-test--wait (lambda () (equal (mdspeak--lighter)
                                          " mdspeak[reading · English · English (America) · 1/2]")))
    (mdspeak-next)
    (mdspeak-test--wait (lambda () (equal (mdspeak--lighter)
                                          " mdspeak[reading · Spanish · Spanish (Spain) · 2/2]")))
    (should (equal (cl-count "list_voices" (mdspeak-test--sent) :test #'equal) 1))
    (should-not mdspeak-test--notes))
  ;; Without the member (plain reading, older service): the voice asked for, or the language.
  (mdspeak-test--with-fake "names-voices"
    (let ((mdspeak-reading 'plain))
      (mdspeak-test--visit "w.md" "Hello there.\n")
      (mdspeak-test--read #'mdspeak-read)
      (should (equal (mdspeak--lighter) " mdspeak[reading · English · 1/1]")))))

(ert-deftest mdspeak-test-pronunciation-lists-parse ()
  "Entries, sections and comments are read; each bad line is named and left out."
  (let ((parsed (mdspeak--parse-pronunciations
                 (concat "# words espeak gets wrong\n"
                         "nginx\tengine x\n"
                         "  SQL \t  sequel  \n"
                         "no tab here\n"
                         "\tnothing before\n"
                         "GUI\t\n"
                         "[es]\n"
                         "kubectl\tcubo control\r\n"
                         "[fr]\n"
                         "[EN]\n"
                         (make-string 201 ?x) "\ttoo long\n"
                         (decode-coding-string "caf\377\tbad bytes\n" 'utf-8)
                         "\n"
                         "Wi-Fi\twaifai\n"))))
    (should (equal (car parsed)
                   '(((text . "nginx") (say . "engine x") (language))
                     ((text . "SQL") (say . "sequel") (language))
                     ((text . "kubectl") (say . "cubo control") (language . "es"))
                     ((text . "Wi-Fi") (say . "waifai") (language . "en")))))
    (should (equal (mapcar #'car (cdr parsed)) '(4 5 6 9 11 12)))
    (should (equal (cdr (nth 3 (cdr parsed))) "unknown section [fr] (only [en] and [es])"))))

(ert-deftest mdspeak-test-pronunciations-sent ()
  "The list is sent after init; a refusal or an older service costs no reading."
  (let* ((config (make-temp-file "mdspeak-config" t))
         (default (expand-file-name "mdspeak/pronunciations" config))
         (other (expand-file-name "mine" config)))
    (make-directory (file-name-directory default) t)
    (write-region "nginx\tengine x\nbroken line\n[es]\nSQL\tese cu ele\n" nil default nil 'silent)
    (write-region "GUI\tgooey\n" nil other nil 'silent)
    ;; Fake mode, the setting, entries sent, the count taken, what the user is told.
    (dolist (case `(("pronounces" nil 2 2
                     (,(concat default ":2: no tab between the text and what to say; "
                               "line skipped")))
                    ("pronounces" ,other 1 1 nil)
                    ("refuses-pronunciations" ,other 1 nil
                     ("the pronunciations were not taken: entry 2: empty text"))
                    ("" ,other 1 nil nil)    ; an older service does not answer at all
                    ("pronounces" ,(concat config "/none") nil nil
                     (,(concat "no pronunciation list at " config "/none")))))
      (mdspeak-test--with-fake (car case)
        (let ((process-environment (cons (concat "XDG_CONFIG_HOME=" config)
                                         process-environment))
              (mdspeak-pronunciations (nth 1 case)))
          (mdspeak-test--visit "p.md" "One.\n\nTwo.\n")
          (mdspeak-test--read #'mdspeak-read)
          (mdspeak-stop)
          (mdspeak-test--read #'mdspeak-read) ; the same list: neither sent nor told again
          (let ((sent (cl-remove-if-not (lambda (r) (equal (alist-get 'type r)
                                                           "set_pronunciations"))
                                        (mdspeak-test--requests))))
            (should (equal (mapcar (lambda (r) (length (alist-get 'entries r))) sent)
                           (and (nth 2 case) (list (nth 2 case)))))
            (should (equal (nth 1 (mdspeak-test--sent))
                           (if sent "set_pronunciations" "load_document"))))
          (should (equal (cdr (process-get mdspeak--process 'pronunciations)) (nth 3 case)))
          (should (equal (reverse mdspeak-test--notes) (nth 4 case))))))
    (delete-directory config t)))

(ert-deftest mdspeak-test-death-told-while-pronunciations-wait ()
  "A service dying while its unanswered pronunciation list waits is told once."
  (let ((list (make-temp-file "mdspeak-list" nil nil "GUI\tgooey\n")))
    (mdspeak-test--with-fake "dies-reading"
      (let ((mdspeak-pronunciations list))
        (mdspeak-test--visit "q.md" "One.\n")
        (mdspeak-read)
        (mdspeak-test--wait (lambda () mdspeak-test--notes))
        (mdspeak-test--settle)
        (should (equal mdspeak-test--notes '("the service exited (status 1): Error: gone")))))
    (delete-file list)))

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
                  ("narrow.md" "# Ünë\n\nSkip. Ñandú reads.\n\nAfter.\n"
                   (narrow-to-region (search-forward "Skip. ") (line-end-position))
                   mdspeak-read ("Ñandú" "reads."))
                  ("region.md" "Ça va.\n\nÀ bientôt.\n\nFin.\n"
                   (progn (transient-mark-mode) (goto-char 9) (push-mark 19 t t))
                   mdspeak-read ("À" "bientôt."))
                  ("point.md" "# Ééé\n\nÜ.\n\nSecond ö line.\n" (search-forward "Sec")
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
      (goto-char (point-max))           ; point is the user's again
      (let ((events mdspeak-test--events))
        (mdspeak-pause-resume)
        ;; The utterance begins again, then its word.
        (mdspeak-test--wait (lambda () (= mdspeak-test--events (+ events 2)))))
      (should (equal (mdspeak-test--overlay-text 'word) "Title"))
      (should (= (point) (point-max)))
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
    (let ((buffer (mdspeak-test--visit "b.md" "# Title\n\nOne. Two three.\n")))
      (mdspeak-read)
      (mdspeak-test--wait (lambda () (null mdspeak--reading)))
      (should (equal (reverse mdspeak-test--words) '("Title" "One." "Two" "three.")))
      (should (looking-at-p "three\\."))     ; point followed the last word
      (should-not (mdspeak-test--overlays buffer))
      (mdspeak-summary)
      (mdspeak-test--wait (lambda () (null mdspeak--reading)))
      (should (equal mdspeak-test--notes '("This document is a test.")))
      ;; Loaded once: the text did not change.
      (should (equal (mdspeak-test--sent)
                     '("init" "load_document" "prepare_speech" "speak 0" "speak_summary"))))))

;; What the service is asked to load, which utterances it answers, the one read first.
(ert-deftest mdspeak-test-natural-reading-fallback ()
  "Natural reading is asked for; a service refusing it is loaded plainly, asked once."
  (dolist (case '(("" ("natural" "natural") ("paragraph" "paragraph" "code_block") "One.")
                  ("no-natural" ("natural" nil nil) ("paragraph" "paragraph") "One. Two.")))
    (mdspeak-test--with-fake (nth 0 case)
      (mdspeak-test--visit "c.md" "One. Two.\n\n```sh\n")
      (mdspeak-test--read #'mdspeak-read)
      (should (equal (mdspeak-test--overlay-text 'utterance) (nth 3 case)))
      (should (equal (mapcar (lambda (u) (alist-get 'kind u))
                             (mdspeak--doc-utterances mdspeak--document))
                     (nth 2 case)))
      (goto-char (point-max))
      (insert "\n")                     ; stops; the next read loads the text again
      (mdspeak-test--read #'mdspeak-read)
      (should (equal (cl-loop for r in (mdspeak-test--requests)
                              when (equal (alist-get 'type r) "load_document")
                              collect (alist-get 'reading r))
                     (nth 1 case))))))

(ert-deftest mdspeak-test-moves ()
  "Next, previous and the headings move by the service's utterances."
  ;; How the service reads, the commands in turn, the utterance highlighted after each, the
  ;; words highlighted in all.
  (dolist (case '((natural (mdspeak-next mdspeak-next mdspeak-previous mdspeak-next-heading
                                         mdspeak-previous-heading mdspeak-previous)
                           ("One." "Two." "One." "B" "A" "A")
                           ("A" "One." "Two." "One." "B" "A")
                           ;; Idle: the command, where point is (after), where it goes.
                           ((mdspeak-previous-heading "Three" "B") (mdspeak-previous "Tw" "One.")
                            (mdspeak-next "On" "Two.")))
                  ;; Sentences of a block share its range and move together.
                  (plain (mdspeak-next mdspeak-next mdspeak-previous mdspeak-previous-heading
                                      mdspeak-next-heading mdspeak-next-heading)
                        ("One. Two." "B" "One. Two." "A" "B" "B")
                        ("A" "One." "B" "One." "A" "B")
                        ((mdspeak-previous-heading "Three" "B") (mdspeak-previous "Tw" "A")
                         (mdspeak-next "On" "B")))))
    (mdspeak-test--with-fake ""
      (let ((mdspeak-reading (car case)))
        (mdspeak-test--visit "d.md" "# A\n\nOne. Two.\n\n# B\n\nThree.\n")
        (mdspeak-test--read #'mdspeak-read)
        (cl-mapc (lambda (command utterance)
                   (funcall command)
                   (mdspeak-test--wait
                    (lambda ()
                      (and (equal (mdspeak-test--overlay-text 'utterance) utterance)
                           (equal (mdspeak-test--overlay-text 'word)
                                  (car (split-string utterance)))))))
                 (nth 1 case) (nth 2 case))
        (should (equal mdspeak-test--notes
                       (if (eq (car case) 'natural) '("no previous sentence")
                         '("no heading follows"))))
        ;; Each speech's words, none of the speech it replaced.
        (should (equal (reverse mdspeak-test--words) (nth 3 case)))
        ;; Idle, they move from point.
        (dolist (move (nth 4 case))
          (mdspeak-stop)
          (goto-char (point-min))
          (search-forward (nth 1 move))
          (funcall (car move))
          (mdspeak-test--wait (lambda () (equal (mdspeak-test--overlay-text 'utterance)
                                                (nth 2 move)))))))))

(ert-deftest mdspeak-test-edits-while-reading ()
  "An edit stops the reading, or reloads and reads on from the same text."
  (mdspeak-test--with-fake ""
    (let ((buffer (mdspeak-test--visit "e.md" "# Title\n\nText.\n")))
      (mdspeak-test--read #'mdspeak-read)
      (goto-char (point-max))
      (insert "More.\n")
      (should-not mdspeak--reading)
      (should-not (mdspeak-test--overlays buffer))
      (should (equal mdspeak-test--notes '("the buffer changed; reading stopped")))
      (should (equal (car (last (mdspeak-test--sent))) "stop"))
      (let ((mdspeak-keep-reading-on-edit t))
        (mdspeak-test--read #'mdspeak-read)
        (goto-char (point-min))
        (insert "Añadido.\n\n")               ; 11 bytes before the title
        (mdspeak-test--wait (lambda () (equal (last (mdspeak-test--sent) 3)
                                              '("load_document" "prepare_speech" "speak 13"))))
        (mdspeak-test--wait (lambda () (equal (mdspeak-test--overlay-text 'word) "Title")))
        (should (equal (mdspeak-test--overlay-text 'utterance) "Title"))
        ;; Edited while paused: resuming reads the edited text from the same utterance.
        (mdspeak-pause-resume)
        (goto-char (point-min))
        (insert "Ñ\n\n")
        (mdspeak-pause-resume)
        (should (equal (last (mdspeak-test--sent) 4)
                       '("pause" "load_document" "prepare_speech" "speak 17")))
        (mdspeak-test--wait (lambda () (equal (mdspeak-test--overlay-text 'word) "Title")))
        (should (= (length mdspeak-test--notes) 1))))))

(ert-deftest mdspeak-test-failures ()
  "Each failure is one clear message, and leaves nothing reading."
  ;; Fake service mode (or a program that is not there), what the message says.
  (dolist (case '(("missing" "not an executable")
                  ("dies-init" "the service exited (status 3): Error: boom")
                  ("mute" "the service did not answer init")
                  ("unavailable" "speech synthesizer unavailable: no daemon here")
                  ("speak-fails" "failed to queue speech")
                  ("dies-reading" "the service exited (status 1): Error: gone")))
    (mdspeak-test--with-fake (car case)
      (let ((mdspeak-service-program (if (equal (car case) "missing") "/nonexistent/service"
                                       mdspeak-service-program))
            (mdspeak-answer-timeout (if (equal (car case) "mute") 1 5))
            (buffer (mdspeak-test--visit "f.md" "# Title\n\nText.\n")))
        (condition-case err
            (mdspeak-read)
          (mdspeak-error (push (cadr err) mdspeak-test--notes)))
        (mdspeak-test--wait (lambda () mdspeak-test--notes))
        (mdspeak-test--settle)
        (should (= (length mdspeak-test--notes) 1))
        (should (string-search (cadr case) (car mdspeak-test--notes)))
        (should-not mdspeak--reading)
        (should-not (mdspeak-test--overlays buffer))
        (unless (equal (car case) "speak-fails")
          (should-not (process-live-p mdspeak--process)))))))

(ert-deftest mdspeak-test-no-orphan-speech ()
  "Killing the buffer stops the speech; leaving Emacs ends the service silenced."
  (mdspeak-test--with-fake ""
    (let ((buffer (mdspeak-test--visit "g.md" "# Title\n\nText.\n")))
      (mdspeak-test--read #'mdspeak-read)
      (kill-buffer buffer)
      (should-not mdspeak--reading)
      (should (equal (last (mdspeak-test--sent) 2) '("speak 0" "stop")))
      (mdspeak-test--read (lambda ()
                            (mdspeak-test--visit "h.md" "Other.\n")
                            (mdspeak-read)))
      (let ((process mdspeak--process))
        (run-hooks 'kill-emacs-hook)
        (should-not (process-live-p process))
        (should (equal (process-status process) 'exit))
        (should (equal (last (mdspeak-test--sent) 2) '("speak 0" "stop")))))))

(ert-deftest mdspeak-test-service-without-pause ()
  "A service leaving pause unanswered is stopped and resumed at the utterance."
  (mdspeak-test--with-fake "no-pause"
    (mdspeak-test--visit "i.md" "One.\n\nTwo.\n")
    (mdspeak-test--read #'mdspeak-read)
    (mdspeak-next)
    (mdspeak-pause-resume)
    (should (equal (mdspeak--lighter) " mdspeak[paused · English · 2/2]"))
    (should-not (mdspeak-test--overlay-text 'word))
    (mdspeak-pause-resume)
    (mdspeak-test--wait (lambda () (equal (mdspeak-test--overlay-text 'word) "Two.")))
    (should (equal (mdspeak-test--sent)
                   '("init" "load_document" "prepare_speech" "speak 0" "speak 6" "pause" "stop"
                     "speak 6")))))

(ert-deftest mdspeak-test-rate-and-voice ()
  "A new rate or voice is checked, then applied from the word being heard."
  (mdspeak-test--with-fake ""
    (mdspeak-test--visit "j.md" "Some text.\n")
    (should-error (mdspeak-set-rate 3) :type 'mdspeak-error)
    (mdspeak-test--read #'mdspeak-read)
    (mdspeak-set-rate 1.5)
    (cl-letf (((symbol-function 'completing-read)
               (lambda (_prompt choices &rest _)
                 (should (equal (mapcar #'car (cdr choices))
                                '("English (America) (en-US)" "Spanish (Spain) (es-ES)")))
                 "Spanish (Spain) (es-ES)")))
      (call-interactively #'mdspeak-select-voice))
    (should (equal (mdspeak--lighter) " mdspeak[reading · Spanish (Spain) · 1/1]"))
    (should (string-search "no voice nosuch"
                           (cadr (should-error (mdspeak-select-voice "nosuch")))))
    (should (equal (mapcar (lambda (r) (list (alist-get 'type r) (alist-get 'rate r)
                                             (alist-get 'voice_id r)))
                           (nthcdr 4 (mdspeak-test--requests)))
                   '(("pause" nil nil) ("resume" 1.5 nil) ("list_voices" nil nil)
                     ("pause" nil nil) ("resume" 1.5 "es"))))
    (should (equal mdspeak-voice "es"))))

(ert-deftest mdspeak-test-check ()
  "The check names what is there and what is missing, leaving a reading alone."
  (mdspeak-test--with-fake ""
    (mdspeak-test--visit "k.md" "Some text.\n")
    (mdspeak-test--read #'mdspeak-read)
    (let ((reading mdspeak--reading)
          (process mdspeak--process))
      (should (equal (cdr (mdspeak-check))
                     '("OK speech synthesizer available"
                       "OK English: 1 voices (first: English (America))"
                       "OK Spanish: 1 voices (first: Spanish (Spain))")))
      (should (eq mdspeak--reading reading))
      (should (eq mdspeak--process process))))
  (dolist (case '(("unavailable" "ERROR speech synthesizer unavailable: no daemon here")
                  ("missing" "ERROR mdspeak-service-program /nonexistent is not an executable")))
    (mdspeak-test--with-fake (car case)
      (let ((mdspeak-service-program (if (equal (car case) "missing") "/nonexistent"
                                       mdspeak-service-program)))
        (should (equal (car (last (mdspeak-check))) (cadr case)))))))

(ert-deftest mdspeak-test-export ()
  "An export reports its progress and end, is cancelled by stop, or is refused."
  ;; Fake service mode, whether stop is given, what the user is told.
  (dolist (case '(("" nil ("exporting to /tmp/out.ogg" "exporting out.ogg: 25% (1.5 s of audio)"
                           "exporting out.ogg: 100% (6.0 s of audio)"
                           "wrote /tmp/out.ogg: 1 min 23 s, 2 chapters, 12 words"))
                  ("export-hold" t ("exporting to /tmp/out.ogg"
                                    "exporting out.ogg: 25% (1.5 s of audio)" "export cancelled"))
                  ("no-export" nil ("exporting to /tmp/out.ogg" "this service cannot export"))))
    (mdspeak-test--with-fake (car case)
      ;; Started first: on a busy machine the service's start alone can take a second.
      (mdspeak--ensure-service)
      (let ((mdspeak-answer-timeout 1))
        (mdspeak-test--visit "l.md" "# Títle\n\nSome text.\n")
        (transient-mark-mode)
        (goto-char 10)
        (push-mark (point-max) t t)
        (mdspeak-export "/tmp/out.ogg" "/tmp/out.vtt")
        (when (nth 1 case)
          (mdspeak-test--wait (lambda () (= (length mdspeak-test--notes) 2)))
          (mdspeak-stop))
        (mdspeak-test--wait (lambda () (null mdspeak--export)))
        (should (equal (reverse mdspeak-test--notes) (nth 2 case)))
        (let ((export (nth 3 (mdspeak-test--requests))))
          (should (equal (mapcar (lambda (key) (alist-get key export))
                                 '(type path transcript start_offset end_offset rate))
                         '("export" "/tmp/out.ogg" "/tmp/out.vtt" 10 21 1.0))))))))

(ert-deftest mdspeak-test-finds-the-service ()
  "The setting, then MDSPEAK_SERVICE, then beside the package, then the path."
  (let* ((root (file-name-as-directory (make-temp-file "mdspeak" t)))
         (programs (mapcar (lambda (name) (concat root name))
                           '("set/service" "env/service" "bin/mdspeak-service"
                             "path/mdspeak-service"))))
    (make-directory (concat root "share/emacs/site-lisp") t)
    (dolist (program programs)
      (make-directory (file-name-directory program) t)
      (write-region "#!/bin/sh\n" nil program nil 'silent)
      (set-file-modes program #o755))
    ;; Which of them are there: each case takes away the one found before.
    (dolist (case '((0 1 2 3) (1 2 3) (2 3) (3) ()))
      (let ((mdspeak-service-program (and (memq 0 case) (nth 0 programs)))
            (process-environment (cons (concat "MDSPEAK_SERVICE="
                                               (if (memq 1 case) (nth 1 programs) ""))
                                       process-environment))
            (mdspeak--directory (concat root (if (memq 2 case) "share/emacs/site-lisp/"
                                               "elsewhere/")))
            (exec-path (and (memq 3 case) (list (concat root "path")))))
        (if case
            (should (equal (mdspeak-service-path) (nth (car case) programs)))
          (should (string-prefix-p "cannot find mdspeak-service"
                                   (cadr (should-error (mdspeak-service-path)
                                                       :type 'mdspeak-error)))))))
    (delete-directory root t)))

(ert-deftest mdspeak-test-compiles-cleanly ()
  "The package byte-compiles without warnings and satisfies checkdoc."
  (let* ((source (locate-library "mdspeak.el" t))
         (output (make-temp-file "mdspeak" nil ".elc"))
         (byte-compile-dest-file-function (lambda (_) output))
         (byte-compile-error-on-warn t)
         (problems nil))
    (unwind-protect
        (should (byte-compile-file source))
      (delete-file output))
    ;; Also in an Emacs that has not loaded it, as a package manager compiles it: a variable
    ;; used before its definition is only noticed there.
    (let ((directory (make-temp-file "mdspeak" t)))
      (unwind-protect
          (let ((copy (expand-file-name "mdspeak.el" directory)))
            (copy-file source copy)
            (with-temp-buffer
              (should (eql (call-process (expand-file-name invocation-name invocation-directory)
                                         nil t nil "-batch" "-Q" "-f" "batch-byte-compile" copy)
                           0))
              (should (equal (buffer-string) ""))))
        (delete-directory directory t)))
    (with-temp-buffer
      (insert-file-contents source)
      (emacs-lisp-mode)
      (setq buffer-file-name source)
      (let ((checkdoc-create-error-function
             (lambda (text start _end &optional _unfixable)
               (push (format "%d: %s" (line-number-at-pos start) text) problems)
               nil))
            (checkdoc-autofix-flag 'never))
        (checkdoc-current-buffer t))
      (set-buffer-modified-p nil))
    (should-not problems)))

(provide 'mdspeak-test)
;;; mdspeak-test.el ends here
