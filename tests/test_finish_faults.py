"""Faults around the end of finishExcel: nothing is lost, nothing overwritten.

Whatever fails, the finished workbook is either under its final name or
still at its temporary path, no existing file is replaced, and the error
reaches the caller.
"""
import builtins
import errno
import os
import shutil
import stat
import subprocess
import sys
import textwrap
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
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path, targetfolder=str(tmp_path / "gone"))
    with pytest.raises(FileNotFoundError):
        finish(writer, tempres, options)
    assert holds_campaign(tempres)
    assert not (tmp_path / "gone").exists() and options.outfile.getvalue() == ""


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
    assert holds_campaign(tempres) and os.listdir(out) == []
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
    assert os.listdir(tmp_path / "out") == [] and holds_campaign(tempres)


@pytest.mark.parametrize("stage", ["book close", "writer close"])
def test_writer_failing_while_saving(tmp_path, stage):
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path)

    class DiskGone(Exception):
        pass

    def fail():
        raise DiskGone(stage)

    if stage == "book close":
        writer.book.close = fail
    else:
        writer.close = fail
    with pytest.raises(DiskGone):
        finish(writer, tempres, options)
    assert os.listdir(tmp_path / "out") == [] and options.outfile.getvalue() == ""


def test_temporary_file_that_cannot_be_removed(tmp_path, monkeypatch):
    # The workbook is already under its final name when removing the
    # temporary one fails: that error is reported, the workbook kept.
    writer, tempres = campaign(tmp_path / "tmp")
    options = make_options(tmp_path)

    def unlink(path, *args, **kwargs):
        raise PermissionError(errno.EPERM, os.strerror(errno.EPERM), path)

    monkeypatch.setattr(os, "unlink", unlink)
    with pytest.raises(PermissionError):
        finish(writer, tempres, options)
    monkeypatch.undo()
    assert holds_campaign(tmp_path / "out" / "model.xlsx") and holds_campaign(tempres)


CHILD = textwrap.dedent("""
    import os, sys, time
    from collections import OrderedDict
    sys.path.insert(0, sys.argv[1])
    import pandas as pd
    from helpers.writer_input import make_options, open_writer
    from vireo.trellis import reportbook as rb
    import pathlib
    folder, target, value, start = pathlib.Path(sys.argv[2]), sys.argv[3], float(sys.argv[4]), float(sys.argv[5])
    rb.home = str(folder)
    tempres = folder / "res.xlsx"
    writer = open_writer(tempres, {"data": pd.DataFrame({"x": [value]})})
    options = make_options(folder, targetfolder=target)
    while time.time() < start:
        time.sleep(0.001)
    try:
        print(rb.finishExcel(writer, options, OrderedDict(), %r, [None] * 7,
                             {"hidden": 3, "paramCount": 13, "mark": "m"}, None, [0], 1, -1, 3,
                             1, "", str(tempres)))
    except FileExistsError as exc:
        print("taken " + str(tempres))
""" % (SHEETS,))


def test_campaigns_finishing_into_one_folder_at_once(tmp_path):
    import time
    target = tmp_path / "shared"
    target.mkdir()
    here = os.path.dirname(os.path.abspath(__file__))
    start = time.time() + 3
    children = []
    for k in range(4):
        folder = tmp_path / ("run%d" % k)
        folder.mkdir()
        children.append(subprocess.Popen(
            [sys.executable, "-c", CHILD, here, str(folder), str(target), str(k + 1.0),
             str(start)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    outputs = [c.communicate(timeout=seconds(120)) for c in children]
    assert [c.returncode for c in children] == [0] * 4, [o[1][-500:] for o in outputs]
    finals = []
    for k, (out, _) in enumerate(outputs):
        where = out.strip().splitlines()[-1]
        if where.startswith("taken "):
            # lost the race for a name: the workbook stays where it was
            assert holds_campaign(where[6:], k + 1.0)
        else:
            assert holds_campaign(where, k + 1.0)
            finals.append(where)
    # Every campaign that got a name has its own file.
    assert len(set(finals)) == len(finals) and sorted(os.listdir(target)) == sorted(
        os.path.basename(f) for f in finals)
