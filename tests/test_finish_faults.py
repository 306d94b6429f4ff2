"""Faults around the end of finishExcel: nothing is lost, nothing overwritten.

Whatever fails, the finished workbook is either under its final name or at
the temporary file the error's note names, no existing file is replaced, no
partial file takes a final name, and the error reaches the caller.
"""
import builtins
import errno
import io
import os
import shutil
import signal
import stat
import subprocess
import sys
import textwrap
import threading
from collections import OrderedDict

import openpyxl
import pandas as pd
import pytest

from helpers.limits import seconds
from helpers.writer_input import MODEL, SHEETS, make_options, open_writer
from vireo.trellis import reportbook as rb

pytestmark = pytest.mark.usefixtures("no_vba_project")


def campaign(folder, value=1.0):
    folder.mkdir(parents=True, exist_ok=True)
    tempres = folder / "res.xlsx"
    return open_writer(tempres, {"data": pd.DataFrame({"x": [value]})}), tempres


def finish(writer, tempres, options):
    return rb.finishExcel(writer, options, OrderedDict(), SHEETS, [None] * 7, dict(MODEL), None,
                          [0], 1, -1, 3, 1, "", str(tempres))


def holds_campaign(path, value=1.0):
    book = openpyxl.load_workbook(str(path))
    return book.sheetnames == ["data", "Utilities"] and book["data"]["B2"].value == value


def noted_workbook(error):
    """The path the error's note gives for the workbook ("... is at PATH")."""
    notes = [n for n in getattr(error, "__notes__", []) if n.startswith("finishExcel:")]
    assert len(notes) == 1, notes
    if sys.version_info < (3, 11):  # shown as the cause as well
        assert str(error.__cause__) == notes[0]
    return notes[0].split(" is at ", 1)[1] if " is at " in notes[0] else notes[0]


def final_names(folder):
    """The files of a folder that are not hidden temporary files."""
    return sorted(n for n in os.listdir(folder) if not n.startswith("."))


def erofs(*args, **kwargs):
    raise OSError(errno.EROFS, os.strerror(errno.EROFS))


def refuse_in(folder, opener):
    """`opener` that fails with EROFS for files created in `folder`."""
    def open_(file, mode="r", *args, **kwargs):
        if ("x" in mode or "w" in mode) and os.path.dirname(str(file)) == str(folder):
            erofs()
        return opener(file, mode, *args, **kwargs)
    return open_


def test_target_folder_missing(tmp_path):
    # Refused before the workbook is finished, which it was before the move failed.
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path, targetfolder=str(tmp_path / "gone"))
    with pytest.raises(FileNotFoundError, match=r"options\.targetfolder names no existing folder.*gone'"):
        finish(writer, tempres, options)
    assert not writer.book.fileclosed and tempres.stat().st_size == 0
    assert writer.book.get_worksheet_by_name("Utilities") is None
    assert not (tmp_path / "gone").exists() and options.outfile.getvalue() == ""
    writer.close()


def test_read_only_target_folder(tmp_path, monkeypatch):
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path)
    out = tmp_path / "out"
    if os.geteuid() == 0:
        # Root writes through permission bits: a read-only file system is
        # simulated where the workbook would be linked or copied.
        monkeypatch.setattr(os, "link", erofs)
        monkeypatch.setattr(builtins, "open", refuse_in(out, builtins.open))
    else:
        out.chmod(0o555)
    try:
        with pytest.raises(OSError) as info:
            finish(writer, tempres, options)
    finally:
        out.chmod(0o755)
        monkeypatch.undo()
    assert info.value.errno in (errno.EROFS, errno.EACCES)
    assert holds_campaign(noted_workbook(info.value)) and os.listdir(out) == []
    assert options.outfile.getvalue() == ""


def test_move_to_another_file_system(tmp_path):
    shm = "/dev/shm"
    if not os.path.isdir(shm) or os.stat(shm).st_dev == os.stat(str(tmp_path)).st_dev:
        pytest.skip("no second file system to move to")
    target = os.path.join(shm, "trellis-faults-%d" % os.getpid())
    os.mkdir(target)
    try:
        (open(os.path.join(target, "model.xlsx"), "wb")).write(b"keep")
        writer, tempres = campaign(tmp_path / "tmp")
        result = finish(writer, tempres, make_options(tmp_path, targetfolder=target))
        assert result == os.path.join(target, "model(2).xlsx")
        assert holds_campaign(result) and not tempres.exists()
        assert stat.S_IMODE(os.stat(result).st_mode) == 0o666
        assert open(os.path.join(target, "model.xlsx"), "rb").read() == b"keep"
    finally:
        shutil.rmtree(target)


def test_copy_failing_half_way_leaves_no_partial_file(tmp_path, monkeypatch):
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path)

    def link(src, dst):
        raise OSError(errno.EXDEV, os.strerror(errno.EXDEV))

    copy = shutil.copyfileobj

    def copy_half(src, dst, *args):
        if not str(getattr(dst, "name", "")).startswith(options.targetfolder):
            return copy(src, dst, *args)  # the workbook's own saving
        dst.write(src.read(100))
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(os, "link", link)
    monkeypatch.setattr(shutil, "copyfileobj", copy_half)
    with pytest.raises(OSError) as info:
        finish(writer, tempres, options)
    monkeypatch.undo()
    assert info.value.errno == errno.ENOSPC
    assert os.listdir(tmp_path / "out") == [] and holds_campaign(noted_workbook(info.value))


@pytest.mark.parametrize("stage", ["book size", "book close", "writer close"])
def test_writer_failing_while_saving(tmp_path, stage):
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path)

    class DiskGone(Exception):
        pass

    def fail():
        raise DiskGone(stage)

    if stage == "book size":
        writer.book.set_size = lambda *args: fail()
    elif stage == "book close":
        writer.book.close = fail
    else:
        writer.close = fail
    with pytest.raises(DiskGone) as info:
        finish(writer, tempres, options)
    assert os.listdir(tmp_path / "out") == [] and options.outfile.getvalue() == ""
    where = noted_workbook(info.value)
    if stage == "book size":
        assert "was not saved; it is still open in excelwriter" in where
        assert not writer.book.fileclosed
    elif stage == "book close":
        assert "was being saved to" in where
    else:
        assert holds_campaign(where)


def test_temporary_file_that_cannot_be_removed(tmp_path, monkeypatch):
    # The workbook is already under its final name when removing the
    # temporary one fails: that error is reported, and says where it is.
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path)

    def unlink(path, *args, **kwargs):
        raise PermissionError(errno.EPERM, os.strerror(errno.EPERM), path)

    monkeypatch.setattr(os, "unlink", unlink)
    with pytest.raises(PermissionError) as info:
        finish(writer, tempres, options)
    monkeypatch.undo()
    final = tmp_path / "out" / "model.xlsx"
    assert noted_workbook(info.value) == str(final) and holds_campaign(final)


def test_information_file_on_a_full_file_system(tmp_path):
    # A small tmpfs filled up: the earlier information file is kept whole.
    full = tmp_path / "full"
    full.mkdir()
    if os.geteuid() != 0 or not shutil.which("mount") or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(full)],
            capture_output=True).returncode != 0:
        pytest.skip("no small file system can be made here (needs root and mount)")
    try:
        (full / "traininfo.txt").write_text("earlier run\n")
        with open(full / "filler", "wb", buffering=0) as filler:
            try:
                while True:
                    filler.write(b"x" * 4096)
            except OSError:
                pass
        writer, tempres = campaign(tmp_path / "tmp")
        options = make_options(tmp_path, targetfolder=str(full), copytxtcsv=True)
        props = OrderedDict([("Note %d" % i, ("x" * 100, "text")) for i in range(100)])
        with pytest.raises(OSError) as info:
            rb.finishExcel(writer, options, props, SHEETS, [None] * 7, dict(MODEL), None, [0], 1,
                           -1, 3, 1, "", str(tempres))
        assert info.value.errno == errno.ENOSPC
        assert (full / "traininfo.txt").read_text() == "earlier run\n"
        assert sorted(os.listdir(full)) == ["filler", "traininfo.txt"]
        writer.close()
    finally:
        subprocess.run(["umount", str(full)])


def test_information_file_replaced_whole(tmp_path, monkeypatch):
    # The new text is written beside the file and renamed into place: a
    # failing write leaves the earlier file as it was.
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path, copytxtcsv=True, copyexcel=False)
    info = tmp_path / "out" / "traininfo.txt"
    info.write_text("earlier run\n")

    class Full(io.StringIO):
        def write(self, text):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    opener = builtins.open
    monkeypatch.setattr(builtins, "open", lambda f, mode="r", *a, **k: Full() if mode == "w"
                        else opener(f, mode, *a, **k))
    with pytest.raises(OSError, match="No space"):
        finish(writer, tempres, options)
    monkeypatch.undo()
    assert info.read_text() == "earlier run\n" and os.listdir(tmp_path / "out") == ["traininfo.txt"]
    assert finish(writer, tempres, options) == ""
    assert "\nTarget folder: " in info.read_text()
    writer.close()


CHILD = textwrap.dedent("""
    import os, sys, time
    from collections import OrderedDict
    sys.path.insert(0, sys.argv[1])
    import pandas as pd
    from helpers.writer_input import make_options, open_writer
    from vireo.trellis import reportbook as rb
    import pathlib
    folder, target, tempres = pathlib.Path(sys.argv[2]), sys.argv[3], sys.argv[4]
    value, start, rounds = float(sys.argv[5]), float(sys.argv[6]), int(sys.argv[7])
    rb.VBA_USE = 0
    for r in range(rounds):
        writer = open_writer(tempres, {"data": pd.DataFrame({"x": [value + r / 10]})})
        options = make_options(folder, targetfolder=target)
        while time.time() < start:
            time.sleep(0.001)
        print(rb.finishExcel(writer, options, OrderedDict(), %r, [None] * 7,
                             {"hidden": 3, "paramCount": 13, "mark": "m"}, None, [0], 1, -1, 3,
                             1, "", tempres), flush=True)
""" % (SHEETS,))


@pytest.mark.parametrize("shared_tempres", [False, True])
def test_campaigns_finishing_into_one_folder_at_once(tmp_path, shared_tempres):
    # Every campaign gets its own intact workbook under a name of its own,
    # the one it printed, even when all were given one temporary path.
    import time
    target = tmp_path / "shared"
    target.mkdir()
    here = os.path.dirname(os.path.abspath(__file__))
    start = time.time() + 3
    children = []
    for k in range(4):
        folder = tmp_path / ("run%d" % k)
        folder.mkdir()
        tempres = tmp_path / "res.xlsx" if shared_tempres else folder / "res.xlsx"
        children.append(subprocess.Popen(
            [sys.executable, "-c", CHILD, here, str(folder), str(target), str(tempres),
             str(k + 1.0), str(start), "2"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            text=True))
    outputs = [c.communicate(timeout=seconds(120)) for c in children]
    assert [c.returncode for c in children] == [0] * 4, [o[1][-500:] for o in outputs]
    finals = []
    for k, (out, _) in enumerate(outputs):
        printed = out.strip().splitlines()
        assert len(printed) == 2
        for r, where in enumerate(printed):
            assert holds_campaign(where, k + 1.0 + r / 10)
            finals.append(os.path.basename(where))
    assert sorted(finals) == final_names(target) and len(set(finals)) == 8
    assert sorted(os.listdir(target)) == final_names(target)  # no temporary copy left
    assert not (tmp_path / "res.xlsx").exists()


def test_threads_finishing_into_one_folder_at_once(tmp_path):
    barrier, results, errors = threading.Barrier(4), {}, []

    def run(k):
        try:
            writer, tempres = campaign(tmp_path / ("run%d" % k), k + 1.0)
            options = make_options(tmp_path)
            barrier.wait()
            results[k] = finish(writer, tempres, options)
        except BaseException as exc:  # reported below, in the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert sorted(os.path.basename(p) for p in results.values()) == final_names(tmp_path / "out")
    assert all(holds_campaign(results[k], k + 1.0) for k in range(4))


def test_a_free_name_is_asked_again_when_taken_meanwhile(tmp_path, monkeypatch):
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path)
    out = tmp_path / "out"
    index = rb.IndexFilename
    asked = []

    def index_filename(path):
        name = index(path)
        asked.append(os.path.basename(name))
        if len(asked) == 1:  # another campaign claims it between look-up and link
            open(name, "wb").write(b"other")
        return name

    monkeypatch.setattr(rb, "IndexFilename", index_filename)
    result = finish(writer, tempres, options)
    assert asked == ["model.xlsx", "model(2).xlsx"] and result == str(out / "model(2).xlsx")
    assert (out / "model.xlsx").read_bytes() == b"other" and holds_campaign(result)
    assert options.outfile.getvalue() == "Writing results in file: %s\n" % result


KILLED_COPY = textwrap.dedent("""
    import errno, os, shutil, sys
    from collections import OrderedDict
    sys.path.insert(0, sys.argv[1])
    import pandas as pd
    from helpers.writer_input import make_options, open_writer
    from vireo.trellis import reportbook as rb
    import pathlib
    folder, target, cut = pathlib.Path(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    rb.home = str(folder)
    tempres = folder / "res.xlsx"
    writer = open_writer(tempres, {"data": pd.DataFrame({"x": [1.0]})})
    options = make_options(folder, targetfolder=target)
    link = os.link

    def cross_device(src, dst):
        if os.path.dirname(src) != target:
            raise OSError(errno.EXDEV, os.strerror(errno.EXDEV), src, None, dst)
        if cut < 0:
            os.kill(os.getpid(), 9)  # the copy is complete, the name not yet claimed
        return link(src, dst)

    copy = shutil.copyfileobj

    def copy_then_die(src, dst, *args):
        if not str(getattr(dst, "name", "")).startswith(target):
            return copy(src, dst, *args)
        dst.write(src.read(cut))
        dst.flush()
        os.kill(os.getpid(), 9)

    os.link = cross_device
    if cut >= 0:
        shutil.copyfileobj = copy_then_die
    rb.finishExcel(writer, options, OrderedDict(), %r, [None] * 7,
                   {"hidden": 3, "paramCount": 13, "mark": "m"}, None, [0], 1, -1, 3, 1, "",
                   str(tempres))
""" % (SHEETS,))


@pytest.mark.parametrize("cut", [0, 100, 2000, -1])
def test_a_kill_during_a_move_across_file_systems_leaves_no_partial_file(tmp_path, cut):
    target = tmp_path / "out"
    target.mkdir()
    here = os.path.dirname(os.path.abspath(__file__))
    child = subprocess.run([sys.executable, "-c", KILLED_COPY, here, str(tmp_path), str(target),
                            str(cut)], capture_output=True, text=True, timeout=seconds(60))
    assert child.returncode == -signal.SIGKILL, child.stderr[-500:]
    assert final_names(target) == []
