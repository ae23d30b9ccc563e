"""The sample collection converted by the converter under test, for the Python tests."""
import pathlib
import shutil
import subprocess


def convert_sample(tmp, converter, generator, data_dir):
    """Generates the sample into tmp/work and converts it with a copy of the
    converter beside the encoder files; returns the work directory."""
    (tmp / "bin").mkdir()
    shutil.copy(converter, tmp / "bin" / "erp2npx")
    for encoder in pathlib.Path(data_dir).glob("*.enc"):
        shutil.copy(encoder, tmp / "bin")
    work = tmp / "work"
    subprocess.run([generator, "--out", str(work)], check=True, stdout=subprocess.DEVNULL)
    run = subprocess.run([str(tmp / "bin" / "erp2npx")], cwd=work, capture_output=True, text=True)
    assert run.returncode == 0 and "Unable to load" not in run.stdout, run.stdout
    return work
