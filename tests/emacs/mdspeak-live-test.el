;;; mdspeak-live-test.el --- mdspeak.el on the real speech stack -*- lexical-binding: t; -*-

;;; Commentary:

;; Run by ctest with the speech stack up (scripts/speech-stack up) and
;; MDSPEAK_SERVICE naming the built service.  The stack's null sink is
;; recorded to prove that what is highlighted is heard, and that pause,
;; stop and leaving Emacs silence it.

;;; Code:

(require 'ert)
(require 'cl-lib)
(require 'mdspeak)

(defconst mdspeak-live--audible 0.01 "RMS amplitude of speech on the sink.")
(defconst mdspeak-live--quiet 0.001 "RMS amplitude below which the sink is silent.")

(defvar mdspeak-live--seen nil
  "After each event, the utterance and word overlays' texts and the time, latest first.")

(defun mdspeak-live--text (overlay)
  "Text under OVERLAY, or nil."
  (and overlay (overlay-buffer overlay)
       (with-current-buffer (overlay-buffer overlay)
         (buffer-substring-no-properties (overlay-start overlay) (overlay-end overlay)))))

(defun mdspeak-live--record (&rest _)
  "Keep the overlays' texts after an event, when they changed."
  (let ((reading mdspeak--reading))
    (when reading
      (let* ((utterance (mdspeak--reading-utterance reading))
             (word (mdspeak--reading-word reading))
             (now (list (mdspeak-live--text utterance) (mdspeak-live--text word)
                        (and word utterance (<= (overlay-start utterance) (overlay-start word))
                             (<= (overlay-end word) (overlay-end utterance)))
                        (float-time))))
        (unless (equal (butlast now) (butlast (car mdspeak-live--seen)))
          (push now mdspeak-live--seen))))))

(defun mdspeak-live--words-after (count)
  "The words highlighted after the first COUNT changes seen, in order."
  (delq nil (mapcar #'cadr (reverse (butlast mdspeak-live--seen count)))))

(defun mdspeak-live--wait (predicate &optional seconds)
  "Process output until PREDICATE holds, at most SECONDS (10); return it."
  (let ((deadline (+ (float-time) (or seconds 10))))
    (while (and (not (funcall predicate)) (< (float-time) deadline))
      (accept-process-output nil 0.02))
    (funcall predicate)))

(defun mdspeak-live--pause (seconds)
  "Let events and sound come for SECONDS."
  (let ((deadline (+ (float-time) seconds)))
    (while (< (float-time) deadline)
      (accept-process-output nil 0.02))))

(defun mdspeak-live--pulse-socket ()
  "The speech stack's PulseAudio socket, when the stack is ours."
  (let ((script (getenv "MDSPEAK_SPEECH_STACK")))
    (and script
         (cl-some (lambda (line) (and (string-prefix-p "pulse=" line) (substring line 6)))
                  (ignore-errors (process-lines script "paths"))))))

(defun mdspeak-live--recorder ()
  "Record the null sink: a process whose `blocks' are (time sum-of-squares count)."
  (let ((socket (mdspeak-live--pulse-socket)))
    (when socket
      (let ((process (make-process
                      :name "parec" :connection-type 'pipe :coding 'binary :noquery t
                      :command (list "parec" (concat "--server=unix:" socket)
                                     "--device=speech.monitor" "--raw" "--format=s16le"
                                     "--rate=16000" "--channels=1" "--latency-msec=10")
                      :filter #'mdspeak-live--samples)))
        (process-put process 'leftover "")
        (mdspeak-live--wait (lambda () (process-get process 'blocks)) 3)
        process))))

(defun mdspeak-live--samples (process chunk)
  "Add CHUNK of PROCESS's 16-bit samples to its blocks."
  (let* ((data (concat (process-get process 'leftover) chunk))
         (usable (- (length data) (% (length data) 2)))
         (sum 0.0))
    (process-put process 'leftover (substring data usable))
    (cl-loop for i from 0 below usable by 2
             do (let ((value (logior (aref data i) (ash (aref data (1+ i)) 8))))
                  (when (>= value 32768) (setq value (- value 65536)))
                  (setq sum (+ sum (expt (/ value 32768.0) 2)))))
    (process-put process 'blocks (cons (list (float-time) sum (/ usable 2))
                                       (process-get process 'blocks)))))

(defun mdspeak-live--rms (recorder from &optional to)
  "RMS amplitude RECORDER heard from time FROM to TO, or nil."
  (let ((sum 0.0) (count 0))
    (dolist (block (process-get recorder 'blocks))
      (when (and (>= (car block) from) (< (car block) (or to 1.0e20)))
        (setq sum (+ sum (nth 1 block)) count (+ count (nth 2 block)))))
    (and (> count 0) (sqrt (/ sum count)))))

(defun mdspeak-live--visit (name text)
  "Visit a file NAME holding TEXT as UTF-8 bytes and show it."
  (let ((file (expand-file-name name (make-temp-file "mdspeak" t)))
        (coding-system-for-write 'binary))
    (write-region (encode-coding-string text 'utf-8) nil file nil 'silent)
    (switch-to-buffer (find-file-noselect file))
    (current-buffer)))

(defmacro mdspeak-live--with-service (&rest body)
  "Run BODY with mdspeak on the real service, ending it afterwards."
  (declare (indent 0) (debug t))
  `(let ((mdspeak-service-program nil)
         (mdspeak-rate 1.6)
         (mdspeak-live--seen nil))
     (advice-add 'mdspeak--event :after #'mdspeak-live--record)
     (unwind-protect (progn ,@body)
       (mdspeak-shutdown)
       (advice-remove 'mdspeak--event #'mdspeak-live--record))))

(ert-deftest mdspeak-live-words-in-a-crlf-buffer ()
  "Each utterance and word of a CRLF, multibyte buffer is highlighted where it is."
  (mdspeak-live--with-service
    (let ((buffer (mdspeak-live--visit
                   "crlf.md" (concat "# Café naïve\r\n\r\n"
                                     "The über 日本 test, it's fine.\r\n\r\n"
                                     "- item one\r\n- item &amp; two\r\n"))))
      (should (eq (coding-system-eol-type buffer-file-coding-system) 1))
      (mdspeak-read)
      ;; A check meanwhile runs a service of its own and misses none of the reading's events.
      (should (mdspeak-live--wait (lambda () (cadr (car mdspeak-live--seen)))))
      (should (equal (nth 1 (mdspeak-check)) "OK speech synthesizer available"))
      (switch-to-buffer buffer)
      (should (mdspeak-live--wait (lambda () (and mdspeak-live--seen (null mdspeak--reading)))
                                  30))
      (let ((seen (reverse mdspeak-live--seen)))
        (should (equal (delete-dups (delq nil (mapcar #'car seen)))
                       '("Café naïve" "The über 日本 test, it's fine." "item one"
                         "item &amp; two")))
        ;; "&" is no word: it has no letters.
        (should (equal (delete-dups (delq nil (mapcar #'cadr seen)))
                       '("Café" "naïve" "The" "über" "日本" "test," "it's" "fine." "item" "one"
                         "two")))
        (should (cl-every (lambda (s) (or (null (cadr s)) (nth 2 s))) seen)))
      (should-not (cl-remove-if-not (lambda (o) (overlay-get o 'mdspeak))
                                    (overlays-in (point-min) (point-max))))
      (kill-buffer buffer))))

(ert-deftest mdspeak-live-check ()
  "The check names the service's version, the synthesizer and English voices."
  (let ((lines (mdspeak-check))
        (service (getenv "MDSPEAK_SERVICE")))
    (should (string-match-p (format "\\`OK service: %s (mdspeak-service [0-9.]+)\\'"
                                    (regexp-quote service))
                            (nth 0 lines)))
    (should (equal (nth 1 lines) "OK speech synthesizer available"))
    (should (string-match-p "\\`OK English: [0-9]+ voices" (nth 2 lines)))))

(defconst mdspeak-live--long
  (concat "The quick brown fox jumps over the lazy dog, and then it keeps on running for a "
          "long while, far beyond the end of this sentence, through fields and woods and over "
          "hills, until the evening comes and the light fades away behind the mountains.\n")
  "A paragraph that takes a while to speak.")

(ert-deftest mdspeak-live-pause-resume-stop-on-the-sink ()
  "The word moves while the sink is audible; pause, stop and leaving silence it."
  (mdspeak-live--with-service
    (let ((recorder (mdspeak-live--recorder))
          (buffer (mdspeak-live--visit "long.md" mdspeak-live--long)))
      (unless recorder
        (ert-skip "not our speech stack: its sink cannot be recorded"))
      (unwind-protect
          (let ((started (float-time)) paused resumed stopped)
            (mdspeak-read)
            (should (mdspeak-live--wait (lambda () (>= (length mdspeak-live--seen) 4))))
            (mdspeak-live--pause 0.3)
            (setq paused (float-time))
            (mdspeak-pause-resume)
            (should (eq (mdspeak--reading-paused mdspeak--reading) 'service))
            (let ((word (cadr (car mdspeak-live--seen)))
                  (count (length mdspeak-live--seen)))
              (mdspeak-live--pause 1.0)
              (should (mdspeak-live--text (mdspeak--reading-utterance mdspeak--reading)))
              (setq resumed (float-time))
              (mdspeak-pause-resume)
              (should (mdspeak-live--wait (lambda () (mdspeak-live--words-after count))))
              ;; It goes on from the word it was paused on.
              (should (equal (car (mdspeak-live--words-after count)) word)))
            (mdspeak-live--pause 1.0)
            (setq stopped (float-time))
            (mdspeak-stop)
            (should-not (cl-remove-if-not (lambda (o) (overlay-get o 'mdspeak))
                                          (overlays-in (point-min) (point-max))))
            (mdspeak-live--pause 0.8)
            (let ((speaking (mdspeak-live--rms recorder started paused))
                  (during-pause (mdspeak-live--rms recorder (+ paused 0.3) resumed))
                  (after-resume (mdspeak-live--rms recorder resumed stopped))
                  (after-stop (mdspeak-live--rms recorder (+ stopped 0.3))))
              (message "sink RMS: speaking %s, paused %s, resumed %s, stopped %s"
                       speaking during-pause after-resume after-stop)
              (should (> speaking mdspeak-live--audible))
              (should (< during-pause mdspeak-live--quiet))
              (should (> after-resume mdspeak-live--audible))
              (should (< after-stop mdspeak-live--quiet)))
            ;; Leaving Emacs while it speaks leaves nothing speaking.
            (mdspeak-read)
            (should (mdspeak-live--wait (lambda () (and mdspeak--reading
                                                        (mdspeak--reading-word
                                                         mdspeak--reading)))))
            (mdspeak-live--pause 0.5)
            (let ((left (float-time)))
              (should (> (mdspeak-live--rms recorder (- left 0.4) left) mdspeak-live--audible))
              (run-hooks 'kill-emacs-hook)
              (mdspeak-live--pause 0.8)
              (let ((after-leaving (mdspeak-live--rms recorder (+ left 0.3))))
                (message "sink RMS after leaving Emacs: %s" after-leaving)
                (should (< after-leaving mdspeak-live--quiet)))))
        (delete-process recorder)
        (kill-buffer buffer)))))

(provide 'mdspeak-live-test)
;;; mdspeak-live-test.el ends here
