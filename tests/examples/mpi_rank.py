"""One rank of the data-parallel test: trains the main job's model briefly under the MPI launcher
that started it and saves what it ended with (parameters, step losses, step times) to
OUT/rank<R>.npz. Usage: mpiexec -n K python mpi_rank.py OUT EPOCHS HIDDEN BATCH THREADS"""

import pathlib
import sys

import numpy as np

from morla.distributed import processes

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "examples"))
import train_digits  # noqa: E402

out, epochs, hidden, batch, threads = pathlib.Path(sys.argv[1]), *map(int, sys.argv[2:6])
job = processes()
data = train_digits.load_data(seed=0)
params, history = train_digits.train(data, threads=threads, epochs=epochs, hidden=hidden, batch=batch,
                                     progress=False, job=job)
np.savez(out / f"rank{job.rank}.npz", size=job.size, same=job.same_everywhere(params),
         step_losses=np.array(history.step_losses), seconds=np.array(history.epoch_seconds),
         **{f"param_{name}": value for name, value in params.items()})
