;;; mdspeak.el --- Read Markdown aloud, highlighting the spoken word -*- lexical-binding: t; -*-

;; Version: 0.1.0
;; Package-Requires: ((emacs "28.1"))
;; Keywords: multimedia, convenience, wp

;; This file is not part of GNU Emacs.

;;; Commentary:

;; mdspeak reads a Markdown buffer aloud through `mdspeak-service', the
;; mdspeak speech service, and highlights in place the utterance and the
;; word being heard.  Markup is not read: the service cuts the Markdown
;; into sentences, items, headings and table rows (in natural reading it
;; also announces code blocks), and tells the byte range in the buffer of
;; every word as its sound begins.
;;
;; Setup: build the service (scripts/run or cmake in the mdspeak tree),
;; put this file on `load-path' and bind the command map under a prefix
;; of your choice:
;;
;;   (require 'mdspeak)
;;   (global-set-key (kbd "C-c s") mdspeak-mode-map)
;;
;; The service is `mdspeak-service-program' when set, else the program
;; named by the environment variable MDSPEAK_SERVICE, else the one
;; installed or built beside this file, else `mdspeak-service' on the
;; executable path.
;;
;; Commands (keys in `mdspeak-mode-map'):
;;
;;   r    `mdspeak-read'            the buffer, or the region when active
;;   .    `mdspeak-read-from-point' from the utterance at point
;;   SPC  `mdspeak-pause-resume'    pause at the word, resume from it
;;   n p  `mdspeak-next', `mdspeak-previous'   next/previous sentence
;;   ] [  `mdspeak-next-heading', `mdspeak-previous-heading'
;;   s    `mdspeak-summary'         speak the document's summary
;;   q    `mdspeak-stop'
;;   +    `mdspeak-set-rate'        1.0 is normal speed, 0.5 to 2.0
;;   v    `mdspeak-select-voice'    from the voices the service lists
;;   e    `mdspeak-export'          to an audio file, where the service can
;;   c    `mdspeak-check'           what is missing: service, synthesizer,
;;                                  voices
;;
;; While a buffer is read its mode line shows the state, the language and
;; voice the service names for the utterance heard (a service that does
;; not name them: the voice chosen, or the language when the service
;; chooses it) and the utterance's number.
;; Point follows the spoken word until you move it (`mdspeak-follow').
;; Editing the buffer stops the reading, or reads on from the edited
;; text with `mdspeak-keep-reading-on-edit'.  Killing the buffer or
;; Emacs stops the speech.  The faces are `mdspeak-utterance' and
;; `mdspeak-word'.
;;
;; Words the synthesizer gets wrong can be given what to say instead in
;; a pronunciation list, `mdspeak-pronunciations' (by default
;; ~/.config/mdspeak/pronunciations): a text, a tab and what to say on
;; each line, "[en]" or "[es]" lines for entries of one language only.
;;
;; The buffer's text is sent as UTF-8 (CRLF files as the buffer holds
;; them, with bare line feeds) so the service's byte offsets are exact
;; buffer positions even before the buffer is saved.

;;; Code:

(require 'cl-lib)

(defgroup mdspeak nil
  "Read Markdown buffers aloud through mdspeak-service."
  :group 'multimedia
  :prefix "mdspeak-")

(defcustom mdspeak-service-program nil
  "Path of the mdspeak-service program, or nil to look for it.
When nil, the environment variable MDSPEAK_SERVICE names it, else the
program installed or built beside this package, else `mdspeak-service'
on the variable `exec-path'."
  :type '(choice (const :tag "Look for it" nil) file))

(defcustom mdspeak-rate 1.0
  "Speaking rate: 1.0 is the synthesizer's normal speed, 0.5 to 2.0."
  :type 'number)

(defcustom mdspeak-voice nil
  "Voice id to speak with, or nil to let the service choose by language."
  :type '(choice (const :tag "Chosen by the document's language" nil) string))

(defcustom mdspeak-reading 'natural
  "How the service reads documents.
`natural': in source order, a sentence at a time, code blocks
announced; `plain': the service's plain reading.  A service that does
not know natural reading is used with its plain reading."
  :type '(choice (const natural) (const plain)))

(defcustom mdspeak-pronunciations nil
  "File of the pronunciation list, or nil for the usual place.
The usual place is $XDG_CONFIG_HOME/mdspeak/pronunciations, else
~/.config/mdspeak/pronunciations.  Each line is a text, a tab and what
to say instead; a line [en] or [es] makes the entries after it apply to
that language only; blank lines and lines starting with # are skipped.
The list is sent to the service when it starts and again after the
file changed.  A service without pronunciations ignores it."
  :type '(choice (const :tag "The usual place" nil) file))

(defcustom mdspeak-follow t
  "Non-nil means point follows the spoken word until you move it."
  :type 'boolean)

(defcustom mdspeak-keep-reading-on-edit nil
  "Non-nil means an edit reloads the buffer and reading goes on.
Otherwise editing the buffer that is read stops the reading."
  :type 'boolean)

(defcustom mdspeak-word-highlight t
  "Non-nil means highlight the word being spoken."
  :type 'boolean)

(defcustom mdspeak-answer-timeout 10
  "Seconds to wait for the service's answer to a request."
  :type 'number)

(defcustom mdspeak-pause-timeout 0.5
  "Seconds to wait for `pause'; a service without it is stopped instead."
  :type 'number)

(defface mdspeak-utterance '((t :inherit highlight))
  "Face of the utterance being spoken.")

(defface mdspeak-word '((t :inherit isearch))
  "Face of the word being spoken.")

(define-error 'mdspeak-error "mdspeak" 'user-error)

(defun mdspeak--fail (format-string &rest args)
  "Signal `mdspeak-error' with FORMAT-STRING formatted with ARGS."
  (signal 'mdspeak-error (list (apply #'format-message format-string args))))

(defun mdspeak--notify (format-string &rest args)
  "Tell the user FORMAT-STRING formatted with ARGS, prefixed with mdspeak."
  (message "mdspeak: %s" (apply #'format-message format-string args)))

;;;; Finding the service

(defconst mdspeak--directory
  (file-name-directory (or load-file-name buffer-file-name default-directory))
  "Directory this package was loaded from.")

(defun mdspeak--candidates ()
  "Places beside this package where mdspeak-service may be.
Installed under PREFIX/share/emacs/site-lisp, the service is in
PREFIX/bin; in the source tree, in the release build."
  (mapcar (lambda (relative) (expand-file-name relative mdspeak--directory))
          '("../../../bin/mdspeak-service"
            "../../build/release/src/main/mdspeak-service")))

(defun mdspeak-service-path ()
  "Return the path of mdspeak-service, or signal why none is found."
  (let ((env (getenv "MDSPEAK_SERVICE")))
    (cond
     (mdspeak-service-program
      (let ((path (expand-file-name mdspeak-service-program)))
        (if (file-executable-p path)
            path
          (mdspeak--fail "mdspeak-service-program %s is not an executable" path))))
     ((and env (not (equal env "")))
      (if (file-executable-p env)
          env
        (mdspeak--fail "MDSPEAK_SERVICE=%s is not an executable" env)))
     ((cl-find-if (lambda (path) (and (file-regular-p path) (file-executable-p path)))
                  (mdspeak--candidates)))
     ((executable-find "mdspeak-service"))
     (t (mdspeak--fail
         (concat "cannot find mdspeak-service (looked at %s and on exec-path); "
                 "set `mdspeak-service-program'")
         (mapconcat #'file-truename (mdspeak--candidates) ", "))))))

;;;; The service process: JSON lines, answers matched to requests by id

;; Each service process keeps, as properties, what belongs to it alone:
;; `waiting' (request id -> function called with the answer and a failure
;; reason), `background' (ids of waiting requests whose failure nobody is
;; told of), `voices' once listed, `plain-only' once it refused natural
;; reading, `no-pause' once it left `pause' unanswered, `pronunciations'
;; (the version of the list sent), `stderr' (the pipe of its standard
;; error) and `closing' once it is being ended.

(defvar mdspeak--process nil "The running service, or nil.")
(defvar mdspeak--next-id 0 "Id of the last request sent.")
(defvar mdspeak--export nil "File being exported to, or nil.")
(defvar mdspeak--reading nil "The reading in progress, or nil.")

(defun mdspeak--filter (process chunk)
  "Split CHUNK of PROCESS's output into lines and handle each message."
  (let ((start 0) newline)
    (while (setq newline (string-search "\n" chunk start))
      (let ((line (apply #'concat (nreverse (cons (substring chunk start newline)
                                                  (process-get process 'pending))))))
        (process-put process 'pending nil)
        (setq start (1+ newline))
        (mdspeak--dispatch process line)))
    (when (< start (length chunk))
      (process-put process 'pending (cons (substring chunk start)
                                          (process-get process 'pending))))))

(defun mdspeak--dispatch (process line)
  "Hand the message on LINE from PROCESS to its waiting request or as an event."
  (let ((message (condition-case nil
                     (json-parse-string line :object-type 'alist :array-type 'list
                                        :null-object nil :false-object nil)
                   (error nil))))
    (when (consp message)
      (let* ((waiting (process-get process 'waiting))
             (id (alist-get 'id message))
             (waiter (and id (gethash id waiting))))
        (condition-case err
            (cond
             ;; A waiter returning `keep' expects more messages under its id.
             (waiter (unless (eq (funcall waiter message nil) 'keep)
                       (remhash id waiting)))
             ((mdspeak--reading-of process) (mdspeak--event message)))
          (error (mdspeak--notify "%s" (error-message-string err))))))))

(defun mdspeak--reading-of (process)
  "The reading in progress when the service PROCESS speaks it, else nil."
  (let ((reading mdspeak--reading))
    (and reading (eq (mdspeak--doc-process (mdspeak--reading-doc reading)) process)
         reading)))

(defun mdspeak--stderr-filter (process chunk)
  "Keep the last lines of CHUNK, the service's PROCESS's standard error."
  (let ((lines (append (process-get process 'lines)
                       (split-string chunk "\n" t "[ \t\r]+"))))
    (process-put process 'lines (last lines 5))))

(defun mdspeak--exit-reason (process)
  "Why PROCESS ended, with the last line it wrote to standard error."
  (let ((errors (process-get process 'stderr)))
    ;; Its last words may still be in the pipe when the exit is noticed.
    (dotimes (_ 10)
      (when (process-live-p errors)
        (accept-process-output errors 0.02 nil t)))
    (let ((last-line (car (last (process-get errors 'lines)))))
      (concat (if (eq (process-status process) 'signal)
                  (format "the service was killed by signal %d" (process-exit-status process))
                (format "the service exited (status %d)" (process-exit-status process)))
              (if last-line (concat ": " last-line) "")))))

(defun mdspeak--sentinel (process _event)
  "Clean up after PROCESS ended and tell why, unless someone else does."
  (unless (process-live-p process)
    (let ((errors (process-get process 'stderr))
          (closing (process-get process 'closing))
          (waiters nil)
          (reported nil))
      (when (eq process mdspeak--process)
        (setq mdspeak--process nil))
      (maphash (lambda (id waiter)
                 (push waiter waiters)
                 (unless (member id (process-get process 'background))
                   (setq reported t)))
               (process-get process 'waiting))
      (clrhash (process-get process 'waiting))
      (let ((reason (if (or waiters (not closing)) (mdspeak--exit-reason process) "")))
        (when (and (not closing) (mdspeak--reading-of process))
          (mdspeak--finish))
        (dolist (waiter waiters)
          (ignore-errors (funcall waiter nil reason)))
        ;; A request that was waiting reports the reason; an ending needs no word.
        (unless (or reported closing)
          (mdspeak--notify "%s" reason)))
      (when (process-live-p errors)
        (delete-process errors)))))

(defun mdspeak--start-process (path)
  "Start the service at PATH and return its process."
  (let* ((errors (make-pipe-process :name "mdspeak-service stderr" :noquery t
                                    :coding 'utf-8-unix :filter #'mdspeak--stderr-filter))
         (process (condition-case err
                      (make-process :name "mdspeak-service" :command (list path)
                                    :connection-type 'pipe :coding 'utf-8-unix :noquery t
                                    :stderr errors :filter #'mdspeak--filter
                                    :sentinel #'mdspeak--sentinel)
                    (error (delete-process errors)
                           (mdspeak--fail "cannot start %s: %s" path
                                          (error-message-string err))))))
    (process-put process 'stderr errors)
    (process-put process 'waiting (make-hash-table :test #'equal))
    process))

(defun mdspeak--send (process message &optional waiter)
  "Send MESSAGE, an alist without id, to PROCESS; return the id given.
WAITER, when given, is called with the answer and nil, or with nil and
the reason none will come."
  (let ((id (number-to-string (cl-incf mdspeak--next-id))))
    (when waiter
      (puthash id waiter (process-get process 'waiting)))
    (condition-case nil
        (process-send-string
         process (concat (json-serialize
                          (cons (cons 'id id) (cl-remove-if-not #'cdr message)))
                         "\n"))
      (error (remhash id (process-get process 'waiting))
             (mdspeak--fail "cannot write to the service")))
    id))

(defun mdspeak--call-raw (message &optional timeout on-answer)
  "Send MESSAGE and wait TIMEOUT seconds for the answer.
Return the answer, or signal why none came.  ON-ANSWER, when given, is
called with the answer as soon as it arrives, before the events that
follow it.  A service that does not answer within the default timeout
is ended, so that the next command starts one that answers."
  (let* ((process (or mdspeak--process (mdspeak--fail "the service is not running")))
         (result nil)
         (id (mdspeak--send process message
                            (lambda (answer reason)
                              (when (and answer on-answer)
                                (funcall on-answer answer))
                              (setq result (cons answer reason)))))
         (deadline (+ (float-time) (or timeout mdspeak-answer-timeout)))
         (read-process-output-max (max read-process-output-max (* 1024 1024))))
    (while (and (not result) (< (float-time) deadline))
      (accept-process-output (and (process-live-p process) process) 0.02))
    (cond
     ((null result)
      (remhash id (process-get process 'waiting))
      (unless timeout
        (mdspeak--abandon process))
      (mdspeak--fail "the service did not answer %s" (alist-get 'type message)))
     ((null (car result)) (mdspeak--fail "%s" (cdr result)))
     (t (car result)))))

(defun mdspeak--call (message answer-type &optional timeout on-answer)
  "Send MESSAGE and return its answer of type ANSWER-TYPE.
Wait at most TIMEOUT seconds; signal the service's error otherwise.
ON-ANSWER is as for `mdspeak--call-raw'."
  (let ((answer (mdspeak--call-raw message timeout on-answer)))
    (mdspeak--check-answer message answer answer-type)
    answer))

(defun mdspeak--check-answer (message answer answer-type)
  "Signal unless ANSWER to MESSAGE is of type ANSWER-TYPE."
  (let ((type (alist-get 'type answer)))
    (cond ((equal type answer-type))
          ((equal type "error_result")
           (mdspeak--fail "%s" (or (alist-get 'message answer) (alist-get 'code answer))))
          (t (mdspeak--fail "unexpected answer %s to %s" type (alist-get 'type message))))))

(defun mdspeak--ensure-service ()
  "Start the service unless it is running; signal when it cannot speak."
  (if (process-live-p mdspeak--process)
      (mdspeak--sync-pronunciations)
    (let ((process (mdspeak--start-process (mdspeak-service-path))))
      (setq mdspeak--process process)
      (let ((init (condition-case err
                      (mdspeak--call '((type . "init")) "init_result")
                    (mdspeak-error (mdspeak--abandon process)
                                   (signal (car err) (cdr err))))))
        (unless (alist-get 'available init)
          ;; Without a synthesizer the next command tries a new process.
          (mdspeak--abandon process)
          (mdspeak--fail "speech synthesizer unavailable: %s"
                         (or (alist-get 'message init) (alist-get 'backend init))))
        (mdspeak--sync-pronunciations)))))

(defun mdspeak-shutdown ()
  "Stop the speech and end the service."
  (interactive)
  (mdspeak--finish)
  (let ((process mdspeak--process))
    (setq mdspeak--process nil
          mdspeak--export nil)
    (mdspeak--end-process process)))

(defun mdspeak--abandon (process)
  "End PROCESS, a service that stopped answering, and the reading it served."
  (when (mdspeak--reading-of process)
    (mdspeak--finish))
  (when (eq mdspeak--process process)
    (setq mdspeak--process nil))
  (mdspeak--end-process process))

(defun mdspeak--end-process (process)
  "End the service PROCESS, silencing it first."
  (when process
    (process-put process 'closing t)
    (when (process-live-p process)
      ;; Silence first: with its input closed the service would speak what is queued.
      (let ((mdspeak--process process))
        (ignore-errors (mdspeak--call-raw '((type . "stop")) 0.5)))
      (ignore-errors (process-send-eof process))
      (let ((deadline (+ (float-time) 0.5)))
        (while (and (process-live-p process) (< (float-time) deadline))
          (accept-process-output process 0.02)))
      ;; The service cancels its speech on SIGTERM; a kill could leave it playing.
      (when (process-live-p process)
        (signal-process process 'TERM)
        (accept-process-output process 0.2)))
    (when (process-live-p process)
      (delete-process process))
    (let ((errors (process-get process 'stderr)))
      (when (process-live-p errors)
        (delete-process errors)))))

;;;; Pronunciations

(defconst mdspeak--max-pronunciation-bytes 200
  "Longest text of a pronunciation entry the service takes, in bytes.")

(defconst mdspeak--max-pronunciations 10000
  "Most pronunciation entries the service takes.")

(defun mdspeak--pronunciation-line (line language)
  "Classify LINE of a pronunciation list; its entries apply to LANGUAGE.
Return (entry ENTRY), ENTRY an alist of text, say and language;
\(section LANGUAGE); nil for a blank line or a comment; or (problem
MESSAGE)."
  (let ((trimmed (string-trim line)))
    (cond
     ((or (equal trimmed "") (string-prefix-p "#" trimmed)) nil)
     ((and (not (string-search "\t" line)) (string-match "\\`\\[\\(.*\\)\\]\\'" trimmed))
      (let ((section (downcase (match-string 1 trimmed))))
        (if (member section '("en" "es"))
            (list 'section section)
          (list 'problem (format "unknown section %s (only [en] and [es])" trimmed)))))
     ((not (string-search "\t" line))
      (list 'problem "no tab between the text and what to say"))
     (t
      (let* ((tab (string-search "\t" line))
             (text (string-trim (substring line 0 tab)))
             (say (string-trim (substring line (1+ tab)))))
        (cond ((equal text "") (list 'problem "no text before the tab"))
              ((equal say "") (list 'problem "nothing to say after the tab"))
              ((> (string-bytes text) mdspeak--max-pronunciation-bytes)
               (list 'problem (format "the text is longer than %d bytes"
                                      mdspeak--max-pronunciation-bytes)))
              (t (list 'entry `((text . ,text) (say . ,say) (language . ,language))))))))))

(defun mdspeak--parse-pronunciations (text)
  "The entries of the pronunciation list TEXT and its problems.
Return (ENTRIES . PROBLEMS): ENTRIES alists of text, say and language
\(nil for both), PROBLEMS (LINE-NUMBER . MESSAGE), both in file order.
A problem line is left out, so one slip does not cost the whole list."
  (let ((entries nil) (problems nil) (language nil) (number 0))
    (catch 'full
      (dolist (line (split-string text "\n"))
        (cl-incf number)
        (when (memq 'eight-bit (find-charset-string line))
          (setq line nil)
          (push (cons number "not UTF-8 text") problems))
        (pcase (and line (mdspeak--pronunciation-line (string-trim-right line "\r")
                                                      language))
          (`(section ,name) (setq language name))
          (`(problem ,message) (push (cons number message) problems))
          (`(entry ,entry)
           (when (= (length entries) mdspeak--max-pronunciations)
             (push (cons number (format "more than %d entries; the rest are left out"
                                        mdspeak--max-pronunciations))
                   problems)
             (throw 'full nil))
           (push entry entries)))))
    (cons (nreverse entries) (nreverse problems))))

(defun mdspeak--pronunciations-file ()
  "The file of the pronunciation list."
  (if mdspeak-pronunciations
      (expand-file-name mdspeak-pronunciations)
    (let ((config (getenv "XDG_CONFIG_HOME")))
      (expand-file-name "mdspeak/pronunciations"
                        (if (and config (file-name-absolute-p config)) config "~/.config")))))

(defvar mdspeak--told-pronunciations nil
  "Problems with the pronunciation list already told, with its version.")

(defun mdspeak--tell-once (version format-string &rest args)
  "Tell FORMAT-STRING with ARGS, unless already told for VERSION of the list."
  (let ((key (cons version (apply #'format-message format-string args))))
    (unless (member key mdspeak--told-pronunciations)
      (push key mdspeak--told-pronunciations)
      (mdspeak--notify "%s" (cdr key)))))

(defun mdspeak--sync-pronunciations ()
  "Send the pronunciation list unless the service has this version of it.
The answer is not waited for: the service takes requests in order, so
speech asked for afterwards uses the list.  An older service leaves the
request unanswered, which costs nothing."
  (let* ((process mdspeak--process)
         (file (mdspeak--pronunciations-file))
         (attributes (file-attributes file))
         (version (if attributes
                      (list file (file-attribute-modification-time attributes)
                            (file-attribute-size attributes))
                    (list file)))
         (sent (process-get process 'pronunciations)))
    (unless (equal (car sent) version)
      (let ((entries nil))
        (cond
         (attributes
          (condition-case err
              (let ((parsed (mdspeak--parse-pronunciations
                             (with-temp-buffer
                               (let ((coding-system-for-read 'utf-8-unix))
                                 (insert-file-contents file))
                               (buffer-string)))))
                (setq entries (car parsed))
                (when (cdr parsed)
                  (mdspeak--tell-once version "%s"
                                      (mapconcat (lambda (problem)
                                                   (format "%s:%d: %s; line skipped" file
                                                           (car problem) (cdr problem)))
                                                 (cdr parsed) "\n"))))
            (file-error (mdspeak--tell-once version "cannot read the pronunciations: %s"
                                            (error-message-string err)))))
         (mdspeak-pronunciations
          (mdspeak--tell-once version "no pronunciation list at %s" file)))
        ;; (VERSION . COUNT): the count of the list the service took last.
        (process-put process 'pronunciations (cons version (cdr sent)))
        (when (or entries (cdr sent))
          (let ((id (mdspeak--send
                     process
                     `((type . "set_pronunciations")
                       (entries . ,(vconcat
                                    (mapcar (lambda (entry)
                                              `((text . ,(alist-get 'text entry))
                                                (say . ,(alist-get 'say entry))
                                                (language . ,(or (alist-get 'language entry)
                                                                 :null))))
                                            entries))))
                     (lambda (answer _reason)
                       (pcase (alist-get 'type answer)
                         ("set_pronunciations_result"
                          (process-put process 'pronunciations
                                       (cons version (alist-get 'count answer))))
                         ("error_result"
                          (mdspeak--tell-once version "the pronunciations were not taken: %s"
                                              (alist-get 'message answer))))))))
            (process-put process 'background
                         (cons id (process-get process 'background)))))))))

;;;; Byte offsets and documents

;; Emacs keeps buffer text in UTF-8 internally, so a character's byte
;; position is its byte offset in the UTF-8 text sent, once the raw bytes
;; that are not text are ruled out.

(defun mdspeak--offset (position)
  "Byte offset in the sent text of buffer POSITION."
  (1- (position-bytes position)))

(defun mdspeak--position (offset)
  "Buffer position of byte OFFSET in the sent text, within the buffer."
  (or (byte-to-position (1+ (max offset 0)))
      (1+ (buffer-size))))

(cl-defstruct (mdspeak--doc (:constructor mdspeak--make-doc))
  "A buffer's text as the service holds it."
  id tick process reading utterances language)

(defvar-local mdspeak--document nil "The buffer's loaded document.")
(defvar mdspeak--buffers 0 "Buffers given a document id so far.")

(defun mdspeak--buffer-text ()
  "The whole buffer's text to send, or signal why it cannot be sent."
  (save-restriction
    (widen)
    (let ((text (buffer-substring-no-properties (point-min) (point-max))))
      (unless enable-multibyte-characters
        (setq text (decode-coding-string text 'utf-8-unix)))
      (when (cl-intersection '(eight-bit emacs) (find-charset-string text))
        (mdspeak--fail "%s holds bytes that are not UTF-8 text" (buffer-name)))
      text)))

(defun mdspeak--load ()
  "Load the current buffer into the service, unless it is loaded as it is."
  (let ((doc mdspeak--document)
        (tick (buffer-chars-modified-tick)))
    (if (and doc (eq (mdspeak--doc-process doc) mdspeak--process)
             (eql (mdspeak--doc-tick doc) tick)
             (eq (mdspeak--doc-reading doc) mdspeak-reading))
        doc
      (let* ((id (if doc (mdspeak--doc-id doc)
                   (format "emacs-%d" (cl-incf mdspeak--buffers))))
             (text (mdspeak--buffer-text))
             (load `((type . "load_document") (document_id . ,id) (text . ,text))))
        (when (and (eq mdspeak-reading 'natural)
                   (not (process-get mdspeak--process 'plain-only)))
          (let ((answer (mdspeak--call-raw (cons '(reading . "natural") load))))
            (if (equal (alist-get 'code answer) "unsupported_reading")
                (process-put mdspeak--process 'plain-only t)
              (mdspeak--check-answer load answer "load_document_result")
              (setq load nil))))
        (when load
          (mdspeak--call load "load_document_result"))
        (let ((prepared (mdspeak--call `((type . "prepare_speech") (document_id . ,id))
                                       "prepare_speech_result")))
          (setq mdspeak--document
                (mdspeak--make-doc :id id :tick tick :process mdspeak--process
                                   :reading mdspeak-reading
                                   :utterances (vconcat (alist-get 'utterances prepared))
                                   :language (alist-get 'language_code prepared))))))))

(defun mdspeak--utterance-index (doc begin)
  "Index in DOC's utterances of the one an `utterance_begin' BEGIN names.
Event indexes count from the first utterance spoken, so the range tells
which it is; sentences cut from one block may share its range, and then
the text does."
  (let ((utterances (mdspeak--doc-utterances doc))
        (start (alist-get 'start_offset begin))
        (end (alist-get 'end_offset begin))
        same-range)
    (or (cl-dotimes (i (length utterances))
          (let ((u (aref utterances i)))
            (when (and (eql (alist-get 'start_offset u) start)
                       (eql (alist-get 'end_offset u) end))
              (unless same-range (setq same-range i))
              (when (equal (alist-get 'text u) (alist-get 'text begin))
                (cl-return i)))))
        same-range)))

;;;; Reading

(cl-defstruct (mdspeak--reading (:constructor mdspeak--make-reading))
  "The speech in progress."
  kind buffer window doc end utterance word index queued accepting
  paused follow last-point
  stale                                 ; edited since loaded: t, or the timer to load it
  language voice)                       ; told by the service for the utterance heard

(defvar mdspeak--busy nil "Non-nil while a command waits for the service.")

(define-minor-mode mdspeak-reading-mode
  "Show the state of mdspeak's reading in the mode line.
mdspeak turns it on in the buffer it reads; turning it off stops it."
  :lighter (:eval (mdspeak--lighter))
  (unless mdspeak-reading-mode
    (let ((reading mdspeak--reading))
      (when (and reading (eq (mdspeak--reading-buffer reading) (current-buffer)))
        (mdspeak-stop)))))

(defun mdspeak--lighter ()
  "The mode line's text for the reading in this buffer."
  (let ((reading mdspeak--reading))
    (when (and reading (eq (mdspeak--reading-buffer reading) (current-buffer)))
      (let* ((doc (mdspeak--reading-doc reading))
             (state (cond ((mdspeak--reading-paused reading) "paused")
                          ((eq (mdspeak--reading-kind reading) 'summary) "summary")
                          (t "reading")))
             (told (mdspeak--reading-voice reading))
             (language (mdspeak--language-name
                        (if (and told (mdspeak--reading-language reading))
                            (mdspeak--reading-language reading)
                          (mdspeak--doc-language doc))))
             ;; The voice the service says it speaks with; before it says, or when it does
             ;; not (plain reading, older service), the voice asked for, else the language.
             (voice (if told
                        (list language (mdspeak--voice-name told))
                      (list (or (mdspeak--voice-name mdspeak-voice) language))))
             (index (mdspeak--reading-index reading))
             (position (and index (eq (mdspeak--reading-kind reading) 'document)
                            (format "%d/%d" (1+ index)
                                    (length (mdspeak--doc-utterances doc))))))
        (format " mdspeak[%s]" (mapconcat #'identity (delq nil `(,state ,@voice ,position))
                                          " · "))))))

(defun mdspeak--language-name (code)
  "The name of the language CODE, or nil."
  (pcase code ("en" "English") ("es" "Spanish") (_ nil)))

(defun mdspeak--voice-name (id)
  "Name of the voice ID from the service's list, or ID itself."
  (and id (or (alist-get 'name (cl-find id (and mdspeak--process
                                                (process-get mdspeak--process 'voices))
                                        :key (lambda (v) (alist-get 'id v)) :test #'equal))
              id)))

(defun mdspeak--learn-voice-names ()
  "Ask the service for its voices' names unless known or asked already.
The answer comes in the background; the mode line names them then."
  (let ((process mdspeak--process))
    (unless (or (process-get process 'voices) (process-get process 'listing))
      (process-put process 'listing t)
      (mdspeak--send process '((type . "list_voices"))
                     (lambda (answer _reason)
                       (process-put process 'listing nil)
                       (when (equal (alist-get 'type answer) "list_voices_result")
                         (process-put process 'voices (alist-get 'voices answer))
                         (force-mode-line-update t)))))))

(defun mdspeak--overlay (reading slot start end face priority)
  "Put the overlay in SLOT of READING over bytes START to END with FACE."
  (with-current-buffer (mdspeak--reading-buffer reading)
    (let ((from (mdspeak--position start))
          (to (mdspeak--position end))
          (overlay (if (eq slot 'word) (mdspeak--reading-word reading)
                     (mdspeak--reading-utterance reading))))
      (if overlay
          (move-overlay overlay from to)
        (setq overlay (make-overlay from to nil nil nil))
        (overlay-put overlay 'face face)
        (overlay-put overlay 'priority priority)
        (overlay-put overlay 'mdspeak t)
        (if (eq slot 'word)
            (setf (mdspeak--reading-word reading) overlay)
          (setf (mdspeak--reading-utterance reading) overlay)))
      from)))

(defun mdspeak--follow (reading position)
  "Move point in READING's window to POSITION, unless the user moved it."
  (let ((window (mdspeak--reading-window reading)))
    (when (and mdspeak-follow (mdspeak--reading-follow reading)
               (window-live-p window)
               (eq (window-buffer window) (mdspeak--reading-buffer reading)))
      (let ((last (mdspeak--reading-last-point reading)))
        (if (and last (/= (window-point window) last))
            (setf (mdspeak--reading-follow reading) nil) ; the user went elsewhere
          (set-window-point window position)
          (setf (mdspeak--reading-last-point reading) (window-point window)))))))

(defun mdspeak--event (message)
  "Apply MESSAGE, an event of the service, to the reading and its overlays."
  (let ((reading mdspeak--reading)
        (type (alist-get 'type message)))
    (when (and reading (mdspeak--reading-accepting reading)
               (buffer-live-p (mdspeak--reading-buffer reading))
               (equal (alist-get 'document_id message)
                      (mdspeak--doc-id (mdspeak--reading-doc reading))))
      (let ((document (eq (mdspeak--reading-kind reading) 'document))
            (start (alist-get 'start_offset message))
            (end (alist-get 'end_offset message)))
        (pcase type
          ("utterance_begin"
           ;; In natural reading the service tells each utterance's language and voice.
           (when (alist-get 'voice_id message)
             (setf (mdspeak--reading-voice reading) (alist-get 'voice_id message)
                   (mdspeak--reading-language reading) (alist-get 'language_code message))
             (mdspeak--learn-voice-names))
           (setf (mdspeak--reading-index reading)
                 (if document
                     (mdspeak--utterance-index (mdspeak--reading-doc reading) message)
                   (alist-get 'utterance_index message)))
           (if (not document)
               (mdspeak--notify "%s" (alist-get 'text message))
             (let ((word (mdspeak--reading-word reading)))
               (when word (delete-overlay word)
                     (setf (mdspeak--reading-word reading) nil)))
             (mdspeak--follow reading (mdspeak--overlay reading 'utterance start end
                                                        'mdspeak-utterance 10)))
           (force-mode-line-update t))
          ("utterance_word"
           (when (and document mdspeak-word-highlight)
             (mdspeak--follow reading (mdspeak--overlay reading 'word start end
                                                        'mdspeak-word 20))))
          ("utterance_end"
           (when (and (mdspeak--reading-queued reading)
                      (>= (1+ (alist-get 'utterance_index message))
                          (mdspeak--reading-queued reading)))
             (mdspeak--finish))))))))

(defun mdspeak--finish ()
  "Forget the reading in progress and clear its overlays."
  (let ((reading mdspeak--reading))
    (setq mdspeak--reading nil)
    (when reading
      (dolist (overlay (list (mdspeak--reading-utterance reading)
                             (mdspeak--reading-word reading)))
        (when overlay (delete-overlay overlay)))
      (let ((end (mdspeak--reading-end reading)))
        (when (markerp end) (set-marker end nil)))
      (let ((buffer (mdspeak--reading-buffer reading)))
        (when (buffer-live-p buffer)
          (with-current-buffer buffer
            (remove-hook 'after-change-functions #'mdspeak--changed t)
            (let ((mdspeak--reading nil))
              (mdspeak-reading-mode -1)))))
      (force-mode-line-update t))))

(defun mdspeak--speak (kind start end &optional follow)
  "Speak the current buffer: KIND `document' from byte START to END, or `summary'.
FOLLOW nil means point stays where it is."
  (let* ((doc (mdspeak--load))
         (reading (mdspeak--make-reading
                   :kind kind :buffer (current-buffer) :doc doc
                   :window (get-buffer-window nil t)
                   :end (and end (copy-marker (mdspeak--position end)))
                   :follow follow)))
    (mdspeak--finish)
    (setq mdspeak--reading reading)
    (add-hook 'after-change-functions #'mdspeak--changed nil t)
    (mdspeak-reading-mode 1)
    (mdspeak--request-speech reading start)))

(defun mdspeak--request-speech (reading start)
  "Ask the service to speak READING from byte START; nil START: from its start."
  (let* ((end (mdspeak--reading-end reading))
         (message `((type . ,(if (eq (mdspeak--reading-kind reading) 'summary)
                                 "speak_summary" "speak"))
                    (document_id . ,(mdspeak--doc-id (mdspeak--reading-doc reading)))
                    (start_offset . ,start)
                    (end_offset . ,(and end (with-current-buffer (mdspeak--reading-buffer reading)
                                              (mdspeak--offset end))))
                    (rate . ,(float mdspeak-rate))
                    (voice_id . ,mdspeak-voice)
                    (word_events . ,(and mdspeak-word-highlight t))))
         (answer (condition-case err
                     (mdspeak--call-raw message nil (mdspeak--on-speak-answer reading))
                   (mdspeak-error (when (eq mdspeak--reading reading) (mdspeak--finish))
                                  (signal (car err) (cdr err))))))
    (when (eq mdspeak--reading reading)
      (condition-case err
          (mdspeak--check-answer message answer "speak_result")
        (mdspeak-error (mdspeak--finish) (signal (car err) (cdr err))))
      (setf (mdspeak--reading-paused reading) nil)
      (when (eql (alist-get 'queued answer) 0)
        (mdspeak--finish)
        (mdspeak--notify "nothing to read there")))))

(defun mdspeak--on-speak-answer (reading)
  "Return a function making READING take events once its speech is queued.
The service writes the events of a speech after its answer, and those of
the speech it replaced before it."
  (lambda (answer)
    (when (equal (alist-get 'type answer) "speak_result")
      (setf (mdspeak--reading-accepting reading) t
            (mdspeak--reading-queued reading) (alist-get 'queued answer)))))

(defmacro mdspeak--command (&rest body)
  "Run BODY as a command that waits for the service."
  (declare (indent 0) (debug t))
  `(let ((mdspeak--busy t))
     ,@body))

(defun mdspeak--start (kind start end)
  "Start the service, then speak KIND from byte START to END in this buffer."
  (mdspeak--command
    (mdspeak--ensure-service)
    (mdspeak--speak kind start end t)))

;;;; Commands

;;;###autoload
(defun mdspeak-read ()
  "Read the buffer aloud, or the region when it is active.
A narrowed buffer is read within its narrowing."
  (interactive)
  (if (use-region-p)
      (let ((from (region-beginning)) (to (region-end)))
        (deactivate-mark)
        (mdspeak--start 'document (mdspeak--offset from) (mdspeak--offset to)))
    (mdspeak--start 'document (mdspeak--offset (point-min))
                    (and (buffer-narrowed-p) (mdspeak--offset (point-max))))))

;;;###autoload
(defun mdspeak-read-from-point ()
  "Read aloud from the utterance at point to the end of the buffer."
  (interactive)
  (mdspeak--start 'document (mdspeak--offset (point))
                  (and (buffer-narrowed-p) (mdspeak--offset (point-max)))))

;;;###autoload
(defun mdspeak-summary ()
  "Speak the summary of the buffer's document."
  (interactive)
  (mdspeak--start 'summary nil nil))

(defun mdspeak-stop ()
  "Stop reading, and cancel an export in progress."
  (interactive)
  (mdspeak--finish)
  ;; Sent also with nothing known to be read: a speech whose replacement failed may still play.
  (when (process-live-p mdspeak--process)
    (mdspeak--send mdspeak--process '((type . "stop"))
                   (lambda (answer reason)
                     (cond ((null answer) (mdspeak--notify "stop failed: %s" reason))
                           ((equal (alist-get 'type answer) "error_result")
                            (mdspeak--notify "%s" (alist-get 'message answer))))))))

(defun mdspeak--utterance-start (reading)
  "Byte offset of the start of READING's current utterance now, or nil."
  (let ((overlay (mdspeak--reading-utterance reading)))
    (and overlay (overlay-buffer overlay)
         (with-current-buffer (overlay-buffer overlay)
           (mdspeak--offset (overlay-start overlay))))))

(defun mdspeak--pause (reading)
  "Silence READING: the service's pause when it has one, else stop."
  (unless (process-live-p mdspeak--process)
    (mdspeak--fail "the service is not running"))
  (setf (mdspeak--reading-paused reading) 'pausing)
  (let ((answer (and (not (process-get mdspeak--process 'no-pause))
                     (condition-case err
                         (mdspeak--call-raw '((type . "pause")) mdspeak-pause-timeout
                                            (lambda (_) (setf (mdspeak--reading-accepting
                                                               reading)
                                                              nil)))
                       (mdspeak-error (unless (process-live-p mdspeak--process)
                                        (signal (car err) (cdr err))))))))
    (cond
     ((equal (alist-get 'type answer) "pause_result")
      (if (alist-get 'paused answer)
          (setf (mdspeak--reading-paused reading) 'service)
        (mdspeak--finish)))               ; it had ended meanwhile
     ((equal (alist-get 'type answer) "error_result")
      (setf (mdspeak--reading-paused reading) nil)
      (mdspeak--fail "%s" (alist-get 'message answer)))
     (t
      (process-put mdspeak--process 'no-pause t)
      (setf (mdspeak--reading-accepting reading) nil)
      (mdspeak--call '((type . "stop")) "stop_result")
      (setf (mdspeak--reading-paused reading) 'restart)
      (let ((word (mdspeak--reading-word reading)))
        (when word (delete-overlay word) (setf (mdspeak--reading-word reading) nil))))))
  (force-mode-line-update t))

(defun mdspeak--resume (reading)
  "Speak READING again from where it was paused."
  (let ((answer (and (eq (mdspeak--reading-paused reading) 'service)
                     (mdspeak--call `((type . "resume") (rate . ,(float mdspeak-rate))
                                      (voice_id . ,mdspeak-voice))
                                    "resume_result" nil
                                    (lambda (answer)
                                      (when (alist-get 'resumed answer)
                                        (setf (mdspeak--reading-accepting reading) t)))))))
    (when (eq mdspeak--reading reading)
      (if (alist-get 'resumed answer)
          (setf (mdspeak--reading-paused reading) nil)
        ;; Without the service's position: the interrupted utterance again.
        (with-current-buffer (mdspeak--reading-buffer reading)
          (when (mdspeak--reading-stale reading)
            (setf (mdspeak--reading-doc reading) (mdspeak--load)
                  (mdspeak--reading-stale reading) nil))
          (mdspeak--request-speech reading (mdspeak--utterance-start reading))))
      (force-mode-line-update t))))

(defun mdspeak-pause-resume ()
  "Pause the reading at the word, or resume it; start reading from point when idle."
  (interactive)
  (let ((reading mdspeak--reading))
    (cond ((null reading) (mdspeak-read-from-point))
          ((mdspeak--reading-paused reading)
           (mdspeak--command (mdspeak--resume reading)))
          (t (mdspeak--command (mdspeak--pause reading))))))

(defun mdspeak--here ()
  "The buffer to move in and the byte offset to move from.
While a document is read, its utterance; else point."
  (let ((reading mdspeak--reading))
    (if (and reading (eq (mdspeak--reading-kind reading) 'document)
             (buffer-live-p (mdspeak--reading-buffer reading))
             (mdspeak--utterance-start reading))
        (list (mdspeak--reading-buffer reading) (mdspeak--utterance-start reading)
              (mdspeak--reading-end reading))
      (list (current-buffer) (mdspeak--offset (point)) nil))))

(defun mdspeak--jump (pick none)
  "Read from the utterance PICK chooses; tell NONE when there is none.
PICK is called with the document's utterances and the offset to move
from, and returns an utterance."
  (pcase-let ((`(,buffer ,here ,end) (mdspeak--here)))
    (with-current-buffer buffer
      (mdspeak--command
        (mdspeak--ensure-service)
        (let* ((doc (mdspeak--load))
               (target (funcall pick (append (mdspeak--doc-utterances doc) nil) here)))
          (if (not target)
              (mdspeak--notify "%s" none)
            (let* ((start (alist-get 'start_offset target))
                   (stop (and end (marker-buffer end) (mdspeak--offset end))))
              (mdspeak--speak 'document start (and stop (> stop start) stop)
                              (or (null mdspeak--reading)
                                  (mdspeak--reading-follow mdspeak--reading))))))))))

(defun mdspeak--next-of (utterances here)
  "The first of UTTERANCES starting after byte HERE."
  (cl-find-if (lambda (u) (> (alist-get 'start_offset u) here)) utterances))

(defun mdspeak--previous-of (utterances here)
  "The first utterance of the block before the one at byte HERE in UTTERANCES.
Sentences of one block may share its range, so they move together."
  (let ((before (cl-find-if (lambda (u) (and (<= (alist-get 'end_offset u) here)
                                             (< (alist-get 'start_offset u) here)))
                            utterances :from-end t)))
    (and before (cl-find (alist-get 'start_offset before) utterances
                         :key (lambda (u) (alist-get 'start_offset u))))))

(defun mdspeak--heading-p (utterance)
  "Non-nil when UTTERANCE is a heading."
  (equal (alist-get 'kind utterance) "heading"))

(defun mdspeak-next ()
  "Read from the sentence after the one being read, or after point."
  (interactive)
  (mdspeak--jump #'mdspeak--next-of "no next sentence"))

(defun mdspeak-previous ()
  "Read from the sentence before the one being read, or before point."
  (interactive)
  (mdspeak--jump #'mdspeak--previous-of "no previous sentence"))

(defun mdspeak-next-heading ()
  "Read from the next heading."
  (interactive)
  (mdspeak--jump (lambda (utterances here)
                   (mdspeak--next-of (cl-remove-if-not #'mdspeak--heading-p utterances) here))
                 "no heading follows"))

(defun mdspeak-previous-heading ()
  "Read from the heading before the utterance being read, or before point."
  (interactive)
  (mdspeak--jump (lambda (utterances here)
                   (cl-find-if (lambda (u) (and (mdspeak--heading-p u)
                                                (< (alist-get 'start_offset u) here)))
                               utterances :from-end t))
                 "no heading before this"))

(defun mdspeak--reapply ()
  "Apply a new rate or voice to the reading, from the word it has reached."
  (let ((reading mdspeak--reading))
    (when (and reading (not (mdspeak--reading-paused reading)))
      (mdspeak--command
        (mdspeak--pause reading)
        (when (and (eq mdspeak--reading reading) (mdspeak--reading-paused reading))
          (mdspeak--resume reading))))))

(defun mdspeak-set-rate (rate)
  "Set the speaking RATE, 1.0 being normal speed, from 0.5 to 2.0."
  (interactive (list (read-number "Speaking rate (0.5 to 2.0): " mdspeak-rate)))
  (unless (and (numberp rate) (<= 0.5 rate 2.0))
    (mdspeak--fail "the rate must be a number from 0.5 to 2.0 (1.0 is normal speed)"))
  (setq mdspeak-rate (float rate))
  (mdspeak--reapply))

(defun mdspeak--list-voices ()
  "The service's voices, asked once per service."
  (mdspeak--ensure-service)
  (or (process-get mdspeak--process 'voices)
      (let ((voices (alist-get 'voices (mdspeak--call '((type . "list_voices"))
                                                      "list_voices_result"))))
        (process-put mdspeak--process 'voices voices)
        voices)))

(defun mdspeak-select-voice (voice)
  "Speak with VOICE, a voice id the service lists; nil: chosen by language."
  (interactive
   (let* ((voices (mdspeak--command (mdspeak--list-voices)))
          (automatic "Automatic (by the document's language)")
          (choices (cons (cons automatic nil)
                         (mapcar (lambda (v)
                                   (cons (format "%s (%s)" (alist-get 'name v)
                                                 (or (alist-get 'locale v) "?"))
                                         (alist-get 'id v)))
                                 voices))))
     (unless voices
       (mdspeak--fail "no English or Spanish voices are installed"))
     (list (cdr (assoc (completing-read "Voice: " choices nil t nil nil automatic)
                       choices)))))
  (when voice
    ;; The service falls back on another voice for an id it does not know.
    (unless (cl-find voice (mdspeak--command (mdspeak--list-voices))
                     :key (lambda (v) (alist-get 'id v)) :test #'equal)
      (mdspeak--fail "no voice %s" voice)))
  (setq mdspeak-voice voice)
  ;; Named at once where the service names the voices it speaks with.
  (when (and voice mdspeak--reading (mdspeak--reading-voice mdspeak--reading))
    (setf (mdspeak--reading-voice mdspeak--reading) voice))
  (force-mode-line-update t)
  (mdspeak--reapply))

;;;; Export

(defun mdspeak--duration (milliseconds)
  "MILLISECONDS of audio, said briefly."
  (let ((seconds (/ (or milliseconds 0) 1000.0)))
    (cond ((>= seconds 3600) (format "%d h %d min" (/ seconds 3600) (/ (mod seconds 3600) 60)))
          ((>= seconds 60) (format "%d min %d s" (/ seconds 60) (mod seconds 60)))
          (t (format "%.1f s" seconds)))))

(defun mdspeak--export-message (file timer)
  "A waiter for the messages of the export to FILE; cancel TIMER at the first."
  (lambda (message reason)
    (cancel-timer timer)
    (let ((type (alist-get 'type message)))
      (if (equal type "export_progress")
          (progn
            (mdspeak--notify "exporting %s: %d%% (%s of audio)" (file-name-nondirectory file)
                             (/ (* 100 (or (alist-get 'done message) 0))
                                (max 1 (or (alist-get 'total message) 1)))
                             (mdspeak--duration (alist-get 'audio_ms message)))
            'keep)
        (setq mdspeak--export nil)
        (cond
         ((null message) (mdspeak--notify "export failed: %s" reason))
         ((equal type "error_result")
          (mdspeak--notify "export failed: %s" (alist-get 'message message)))
         ((alist-get 'cancelled message) (mdspeak--notify "export cancelled"))
         (t (mdspeak--notify "wrote %s: %s, %s chapters, %s words"
                             (alist-get 'path message)
                             (mdspeak--duration (alist-get 'duration_ms message))
                             (alist-get 'chapters message) (alist-get 'words message))))))))

(defun mdspeak-export (file &optional transcript)
  "Export the buffer, or the active region, as audio to FILE.
The format follows FILE's extension (wav, flac, ogg, opus, mp3, m4b).
TRANSCRIPT, when non-nil, is a WebVTT or SRT file written beside it;
interactively, a prefix argument asks for one.  The export runs in the
background; `mdspeak-stop' cancels it."
  (interactive
   (let ((file (read-file-name "Export audio to: " nil nil nil
                               (concat (file-name-base (or buffer-file-name (buffer-name)))
                                       ".ogg"))))
     (list file (and current-prefix-arg
                     (read-file-name "Transcript: " nil nil nil
                                     (concat (file-name-base file) ".vtt"))))))
  (setq file (expand-file-name file))
  (when (file-directory-p file)
    (mdspeak--fail "%s is a directory" file))
  (when mdspeak--export
    (mdspeak--fail "already exporting to %s" mdspeak--export))
  (when (and (called-interactively-p 'any) (file-exists-p file)
             (not (y-or-n-p (format "Replace %s? " file))))
    (mdspeak--fail "nothing exported"))
  (let ((range (if (use-region-p)
                   (list (mdspeak--offset (region-beginning)) (mdspeak--offset (region-end)))
                 (list (mdspeak--offset (point-min))
                       (and (buffer-narrowed-p) (mdspeak--offset (point-max)))))))
    (mdspeak--command
      (mdspeak--ensure-service)
      (let* ((doc (mdspeak--load))
             (waiting (process-get mdspeak--process 'waiting))
             (id nil)
             ;; A service without export leaves the request unanswered.
             (timer (run-with-timer mdspeak-answer-timeout nil
                                    (lambda ()
                                      (when (gethash id waiting)
                                        (remhash id waiting)
                                        (setq mdspeak--export nil)
                                        (mdspeak--notify "this service cannot export"))))))
        (setq mdspeak--export file
              id (mdspeak--send mdspeak--process
                                `((type . "export") (document_id . ,(mdspeak--doc-id doc))
                                  (path . ,file) (start_offset . ,(nth 0 range))
                                  (end_offset . ,(nth 1 range)) (rate . ,(float mdspeak-rate))
                                  (voice_id . ,mdspeak-voice)
                                  (transcript . ,(and transcript
                                                      (expand-file-name transcript))))
                                (mdspeak--export-message file timer)))
        (mdspeak--notify "exporting to %s" file)))))

;;;; Edits and endings

(defun mdspeak--changed (&rest _)
  "Stop or reload the reading of this buffer after it changed."
  (let ((reading mdspeak--reading))
    (when (and reading (eq (mdspeak--reading-buffer reading) (current-buffer))
               (eq (mdspeak--reading-kind reading) 'document))
      (if (not mdspeak-keep-reading-on-edit)
          (progn (mdspeak-stop)
                 (mdspeak--notify "the buffer changed; reading stopped"))
        ;; Its offsets are stale now: ignore them until it is loaded again, once the
        ;; edits pause for a moment (resuming loads it when paused).
        (let ((stale (mdspeak--reading-stale reading)))
          (when (timerp stale) (cancel-timer stale)))
        (when (eq (mdspeak--reading-paused reading) 'service)
          (setf (mdspeak--reading-paused reading) 'restart))
        (setf (mdspeak--reading-accepting reading) nil
              (mdspeak--reading-stale reading)
              (or (mdspeak--reading-paused reading)
                  (run-with-timer 0.5 nil #'mdspeak--reload reading)))))))

(defun mdspeak--reload (reading)
  "Load READING's edited buffer again and read on from its utterance."
  (cond
   ((not (and (eq mdspeak--reading reading) (mdspeak--reading-stale reading)
              (not (mdspeak--reading-paused reading)))))
   (mdspeak--busy (run-with-timer 0.1 nil #'mdspeak--reload reading))
   (t
    (condition-case err
        (with-current-buffer (mdspeak--reading-buffer reading)
          (mdspeak--command
            (setf (mdspeak--reading-stale reading) nil
                  (mdspeak--reading-doc reading) (mdspeak--load))
            (mdspeak--request-speech reading (mdspeak--utterance-start reading))))
      (mdspeak-error (mdspeak--notify "%s" (cadr err)))))))

(defun mdspeak--buffer-killed ()
  "Stop the reading of the buffer being killed."
  (let ((reading mdspeak--reading))
    (when (and reading (eq (mdspeak--reading-buffer reading) (current-buffer)))
      (mdspeak-stop))))

(add-hook 'kill-buffer-hook #'mdspeak--buffer-killed)
(add-hook 'kill-emacs-hook #'mdspeak-shutdown)

(defun mdspeak-unload-function ()
  "Stop the service before the package is unloaded."
  (mdspeak-shutdown)
  nil)

;;;; Checking the setup

(defun mdspeak--check-lines ()
  "What `mdspeak-check' reports, as a list of lines."
  (let* ((lines nil)
         (missing nil)
         (path (condition-case err (mdspeak-service-path)
                 (mdspeak-error (setq missing (cadr err))))))
    (cl-flet ((say (format-string &rest args)
                   (push (apply #'format format-string args) lines)))
      (if missing
          (say "ERROR %s" missing)
        (let ((version (ignore-errors (car (process-lines path "--version")))))
          (say "OK service: %s%s" path (if version (format " (%s)" version) "")))
        ;; A process of its own, so that a reading in progress is left alone.
        (let ((mdspeak--process nil))
          (condition-case err
              (unwind-protect
                  (progn
                    (mdspeak--ensure-service)
                    (say "OK speech synthesizer available")
                    (let ((voices (mdspeak--list-voices)))
                      (dolist (language '(("en" . "English") ("es" . "Spanish")))
                        (let ((names (cl-loop for v in voices
                                              when (string-prefix-p
                                                    (car language)
                                                    (downcase (or (alist-get 'locale v) "")))
                                              collect (alist-get 'name v))))
                          (if names
                              (say "OK %s: %d voices (first: %s)" (cdr language)
                                   (length names) (car names))
                            (say (concat "WARNING %s: no voices; %s documents are read "
                                         "with another language's voice")
                                 (cdr language) (cdr language)))))))
                (mdspeak--end-process mdspeak--process))
            (mdspeak-error (say "ERROR %s" (cadr err)))))))
    (nreverse lines)))

(defun mdspeak-check ()
  "Report whether the service, the synthesizer and voices are there."
  (interactive)
  (let ((lines (mdspeak--check-lines)))
    (with-current-buffer (get-buffer-create "*mdspeak-check*")
      (let ((inhibit-read-only t))
        (erase-buffer)
        (insert (mapconcat #'identity lines "\n") "\n"))
      (special-mode)
      (display-buffer (current-buffer)))
    (mdspeak--notify "%s" (if (cl-some (lambda (line) (string-prefix-p "ERROR" line)) lines)
                              "something is missing: see *mdspeak-check*"
                            "ready to read"))
    lines))

;;;; Keys

(defvar mdspeak-mode-map
  (let ((map (make-sparse-keymap)))
    (define-key map "r" #'mdspeak-read)
    (define-key map "." #'mdspeak-read-from-point)
    (define-key map " " #'mdspeak-pause-resume)
    (define-key map "n" #'mdspeak-next)
    (define-key map "p" #'mdspeak-previous)
    (define-key map "]" #'mdspeak-next-heading)
    (define-key map "[" #'mdspeak-previous-heading)
    (define-key map "s" #'mdspeak-summary)
    (define-key map "q" #'mdspeak-stop)
    (define-key map "+" #'mdspeak-set-rate)
    (define-key map "v" #'mdspeak-select-voice)
    (define-key map "e" #'mdspeak-export)
    (define-key map "c" #'mdspeak-check)
    map)
  "Keys of mdspeak's commands, to be bound under a prefix of your choice.
For instance: (global-set-key (kbd \"C-c s\") mdspeak-mode-map).")

(provide 'mdspeak)
;;; mdspeak.el ends here
