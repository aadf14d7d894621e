<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Kyvek Server - Access Control Changed</title>
<link rel="stylesheet" type="text/css" href="styles.css"><link rel="icon" href="favicon.ico"></head>
<body>
<!-- #include file="header.inc" -->
<div id="main">
<h1>Access Control Changed</h1>
&vek_text;
</div>
<!-- #include file="footer.inc" -->
</body></html>
