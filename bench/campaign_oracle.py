"""What morva must do against the random device: its exchange, scan and update as they are
meant to behave (the exit codes and messages that the manual gives), worked out from the
device's draws alone. Nothing here comes from morva's code: it is a second reading of how morva
must behave, kept small on purpose.

The device's draw for an exchange says what it answers (tarvex-sim --chaos SEED --draws N);
OUTCOME says what morva's exchange then yields: (0, reply bytes) or its failure code.
"""

NEXT, FINISH, RESEND, REJECT = 0x11, 0x10, 0x22, 0x31
IDENTITY = b"TARVEX-7310 V2.10\r"
TABLE = {"UTID": IDENTITY, "VERS": b"V2.10\r", "STAT": b"0\r"}  # else b"1\r"


class Fail(int):
    """A result of the exchange other than 0, told apart from a reply byte."""


TIMEOUT, FULL, LINE_ERROR, WRITE_FAILED, CANNOT_OPEN = map(Fail, (104, 105, 101, 103, 3))

# fault -> (reply string, reply byte to an opening, to a line, to the S9 line). "right": the
# right reply; "byte": the draw's stray byte; "byte+right": the stray byte, then the reply.
OUTCOME = {
    "right": ("right", NEXT, NEXT, FINISH),
    "delay": ("right", NEXT, NEXT, FINISH),  # well inside the 2 s receive
    "pieces": ("right", NEXT, NEXT, FINISH),
    "resend": ("right", RESEND, RESEND, RESEND),
    "other": (b"1\r", REJECT, FINISH, NEXT),
    "wrong": (b"TARVEX-0000 V2.10\r", "byte", "byte", "byte"),
    "noise": ("byte+right", "byte", "byte", "byte"),  # a reply byte is the first byte
    "nocr": (TIMEOUT, NEXT, NEXT, FINISH),
    "silence": (TIMEOUT, TIMEOUT, TIMEOUT, TIMEOUT),
    "late": (TIMEOUT, TIMEOUT, TIMEOUT, TIMEOUT),  # comes once morva has closed the port
    "flood": (FULL, 0x23, 0x23, 0x23),  # '#' without end: 256 bytes without a CR
    "vanish": ("right", NEXT, NEXT, FINISH),  # and the port is gone for the next open
    "break": (LINE_ERROR, LINE_ERROR, LINE_ERROR, LINE_ERROR),
}
# Waits of a whole receive time (2 s) that a fault costs, for the run's time bound.
WAITS = {"nocr", "silence", "late"}

# Windows drivers (the driver model's script of one morva run) -> what the exchange at the
# chosen open then yields. None: the exchange goes on as the device decides.
DRIVER = {
    "none": None,
    "overreport": None,  # more bytes reported waiting than there are
    "cap1": None,  # one byte a read (but a flood then fills 200 polls, not 256 bytes)
    "lateclose": None,  # the port refuses opens for a while after a close
    "shortwrite": ("before", WRITE_FAILED),  # nothing reaches the device
    "stall": ("before", WRITE_FAILED),
    "errsend": ("before", LINE_ERROR),
    "errrecv": ("after", LINE_ERROR),  # the device has the command
    "gone": ("open", CANNOT_OPEN),  # this and every later open fail
}


class Device:
    """The random device as morva meets it: its draws, the next exchange's number, gone."""

    def __init__(self, draws):
        self.draws = draws  # exchange number -> (fault, byte)
        self.next = 1
        self.gone = False


class Run:
    """One morva run: what it sends, prints and returns."""

    def __init__(self, device, port, driver="none", at=0):
        self.device, self.port, self.driver, self.at = device, port, driver, at
        self.opens = 0
        self.sent = []  # commands that reached the device, without their CR
        self.out = ""
        self.waits = 0

    def exchange(self, text, kind):
        """kind: "string", "open", "line" or "S9". (result, reply, stage): the reply bytes or
        byte when the result is 0; stage "open", "send" or "receive" where it failed."""
        self.opens += 1
        here = self.opens == self.at or (self.driver == "gone" and self.opens > self.at > 0)
        rule = DRIVER[self.driver] if here else None
        if self.device.gone or (rule and rule[0] == "open"):
            return CANNOT_OPEN, None, "open"
        if rule and rule[0] == "before":
            self.waits += self.driver == "stall"
            return rule[1], None, "send"
        self.sent.append(text)
        fault, stray = self.device.draws[self.device.next]
        self.device.next += 1
        self.device.gone |= fault == "vanish"
        self.waits += fault in WAITS
        if rule:
            return rule[1], None, "receive"
        seen = OUTCOME[fault][("string", "open", "line", "S9").index(kind)]
        if seen == FULL and self.driver == "cap1":
            seen, self.waits = TIMEOUT, self.waits + 1
        if isinstance(seen, Fail):
            return seen, None, "receive"
        right = TABLE.get(text, b"1\r")
        if kind != "string":
            return 0, stray if seen == "byte" else seen, None
        return 0, {"right": right, "byte+right": bytes([stray]) + right}.get(seen, seen), None

    def print_(self, text):
        self.out += text


def pass_through(run, words):
    code, reply, stage = run.exchange(" ".join(words), "string")
    if code == 0 and reply[:1] == b"1" and reply[1:2] in (b"\r", b"\n"):
        run.print_("Command Error\n")
    elif code == 0:
        run.print_(reply.split(b"\0")[0].decode("latin-1") + "\n")
    else:
        run.print_({"open": "Cannot open COM%d" % run.port, "send": "Cannot send command",
                    "receive": "Cannot receive reply string"}[stage] + "\n")
    return code


def scan(run, port):
    code, reply, _ = run.exchange("UTID", "string")
    if code == 0 and (b"7310" in reply or b"7210" in reply):
        run.print_("COM%d\n\n" % port)
    else:
        run.print_("No Tarvex connected.\n")
    return 0


def transfer(run, lines, number, passes):
    label = ("UPDT Test", "UPDT Flash")[number]
    record = {"pass": ("test", "flash")[number], "lines_sent": 0, "resends": 0, "stopped_at": 0}
    passes.append(record)

    def failed(code, stage):
        if stage == "receive":  # a send or an open that failed says nothing here
            run.print_("Cannot receive reply byte\n")
        return code

    code, byte, stage = run.exchange(label, "open")
    if code:
        return failed(code, stage)
    if byte != NEXT:
        if byte == REJECT:
            run.print_("UPDT : Rejected to update via RS-232C\n")
        return 4
    for n, line in enumerate(lines, 1):
        run.print_("\r%s : %d / %d" % (label, n, len(lines)))
        record["stopped_at"] = n
        last = line[1:2] == "9"
        while True:
            code, byte, stage = run.exchange(line, "S9" if last else "line")
            if code:
                return failed(code, stage)
            if byte != RESEND:
                break
            record["resends"] += 1
        if byte == FINISH and not last:
            run.print_("\nUPDT : Unexpected finish-code from USB device\n")
        elif byte == NEXT and last:
            run.print_("\nUPDT : Unexpected next-code from Velta\n")
        elif byte not in (NEXT, FINISH):
            run.print_("\nUPDT : Unexpected reply.(0x%02X)\n" % byte)
        else:
            record["lines_sent"] += 1
            continue
        return 6
    record["stopped_at"] = None
    return 0


def update(run, lines, flash):
    """lines: the file's lines without their line ends. (exit code, passes of the record)."""
    passes = []
    code = transfer(run, lines, 0, passes)
    if code:
        run.print_(" ... test failed\n")
        return code, passes
    run.print_(" ... test succeeded\n")
    if not flash:
        return 0, passes
    code = transfer(run, lines, 1, passes)
    run.print_(" ... Update succeeded\n" if code == 0 else " ... Update failed\n")
    return code, passes
