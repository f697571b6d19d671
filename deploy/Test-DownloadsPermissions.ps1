<#
.SYNOPSIS
    Tells whether the repair tool's work is in place: one line when it is,
    nothing when it is not. Exits 0.

.DESCRIPTION
    A detection script for Intune (Win32 app) and Configuration Manager (script
    detection method) alike: both count exit status 0 with text on standard
    output as "installed", exit status 0 with no output as "not installed", and
    anything written to standard error or another exit status as a failure of
    the script itself. This script therefore writes nothing to standard error
    and exits 0; whatever it cannot read counts as not in place. The one
    exception: where PowerShell runs it in ConstrainedLanguage mode (AppLocker
    or WDAC script enforcement, for an unsigned copy) it cannot read access
    lists at all, and says so in one line on standard error with exit status
    1, so that the failure shows instead of a silent "not installed".

    The tool's work is in place when:
      - Downloads and the two folders above it, below the machine-wide
        application-data folder, exist and none is a reparse point (junction,
        mount point or symbolic link);
      - Downloads' explicit entries are the 32-bit program-files folder's
        entries, every one (the tool copies those the folder inherits too,
        each as Downloads' own), in the same order, with the same rights,
        type and inheritance flags, compared by SID.
    Then it prints "Downloads carries the program-files access list".

    Nothing the tool cannot change counts against it: owners, inherited
    entries, the folders above Downloads, what lies inside. So a repaired
    machine is never offered the tool again. Get-DownloadsExposure.ps1 reports
    those.

.PARAMETER Explain
    For a person at a console: prints every check with its result and why,
    then, where Get-DownloadsExposure.ps1 (or its signed copy, which is
    preferred) lies beside this script, each exposure it finds, marked as
    such (the stock baseline, which needs no action, marked "baseline"). Without -Explain the script needs no file beside it, and runs as
    well from text (Invoke-Command -FilePath, a pasted detection method).

.NOTES
    Written for Windows PowerShell 5.1; uses nothing that PowerShell 7 or a
    plain Windows installation lacks.

    How to use it as a detection rule: docs/deploying.md in the project's
    source, sections "Microsoft Intune (Win32 app)" and "Configuration
    Manager (application)"; what to do when it says not in place: section
    "When detection says "not in place"".

.LINK
    docs/deploying.md#microsoft-intune-win32-app

.LINK
    docs/deploying.md#configuration-manager-application

.LINK
    docs/deploying.md#when-detection-says-not-in-place
#>
[CmdletBinding()]
param(
    [switch]$Explain
)

Set-StrictMode -Version 2.0
$ErrorActionPreference = 'Stop'

$Suffix = 'Morvane Security', 'Morvane Devices Agent', 'Downloads'
$InPlaceLine = 'Downloads carries the program-files access list'

# ---------------------------------------------------------------------------
# What Windows says, as plain data. The tests replace these.

# The machine-wide application-data folder and the 32-bit program-files folder.
function Get-SpecialFolders {
    [pscustomobject]@{
        AppData      = [Environment]::GetFolderPath('CommonApplicationData')
        ProgramFiles = [Environment]::GetFolderPath('ProgramFilesX86')
    }
}

# A folder as the checks see it: whether it exists as a folder, whether it is
# a reparse point, and its access entries (explicit and inherited, in order),
# each with the SID, Allow or Deny, the rights as a number, whether it is
# inherited, and its inheritance and propagation flags as numbers.
function Get-FolderFacts {
    param([string]$Path)
    $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
    if ($null -eq $item -or -not $item.PSIsContainer) {
        return [pscustomobject]@{ Path = $Path; IsFolder = $false; IsReparsePoint = $false; Entries = @() }
    }
    $acl = Get-Acl -LiteralPath $Path
    $sid = [System.Security.Principal.SecurityIdentifier]
    # GetAccessRules leaves out conditional (callback) and object entries;
    # the list as Windows holds it shows them.
    $raw = New-Object System.Security.AccessControl.RawSecurityDescriptor -ArgumentList @(, $acl.GetSecurityDescriptorBinaryForm()), 0
    [pscustomobject]@{
        Path           = $Path
        IsFolder       = $true
        IsReparsePoint = [bool]($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint)
        Unusual        = @($raw.DiscretionaryAcl | Where-Object { $_ -isnot [System.Security.AccessControl.CommonAce] -or $_.IsCallback }).Count
        Entries        = @($acl.GetAccessRules($true, $true, $sid) | ForEach-Object {
                [pscustomobject]@{
                    Sid         = $_.IdentityReference.Value
                    Type        = "$($_.AccessControlType)"
                    Rights      = [int]$_.FileSystemRights
                    Inherited   = $_.IsInherited
                    Inheritance = [int]$_.InheritanceFlags
                    Propagation = [int]$_.PropagationFlags
                }
            })
    }
}

# The exposure audit beside this script: the signed copy where there is
# one, so that a signed detection runs signed code only.
function Find-Audit {
    param([string]$Folder)
    foreach ($name in 'Get-DownloadsExposure.signed.ps1', 'Get-DownloadsExposure.ps1') {
        $path = Join-Path $Folder $name
        if (Test-Path -LiteralPath $path -PathType Leaf) {
            return $path
        }
    }
}

# ---------------------------------------------------------------------------
# Decisions, over plain data.

# One entry as text: the fields that decide what it grants, and to whom.
function Format-Entry {
    param($Entry)
    '{0} {1} 0x{2:X8} {3} {4}' -f $Entry.Sid, $Entry.Type, $Entry.Rights, $Entry.Inheritance, $Entry.Propagation
}

function New-Check {
    param([string]$Name, [bool]$Passed, [string]$Why)
    [pscustomobject]@{ Check = $Name; Passed = $Passed; Why = $Why }
}

# The checks, given the facts of the three folders below the
# application-data folder (Downloads last) and of the program-files folder.
function Get-Checks {
    param($Way, $ProgramFiles)
    foreach ($folder in $Way) {
        if (-not $folder.IsFolder) {
            New-Check "folder $($folder.Path)" $false 'missing, or not a folder'
            return
        }
        if ($folder.IsReparsePoint) {
            New-Check "folder $($folder.Path)" $false 'a junction, mount point or symbolic link: it may lead anywhere'
            return
        }
        New-Check "folder $($folder.Path)" $true 'a real folder'
    }
    $wanted = @($ProgramFiles.Entries | ForEach-Object { Format-Entry $_ })
    $explicit = @($Way[-1].Entries | Where-Object { -not $_.Inherited } | ForEach-Object { Format-Entry $_ })
    if ($wanted.Count -eq 0) {
        New-Check 'explicit entries' $false "$($ProgramFiles.Path) has no entries to compare with"
    } elseif ($Way[-1].Unusual) {
        New-Check 'explicit entries' $false "$($Way[-1].Path) holds $($Way[-1].Unusual) conditional, object or other entries that cannot be compared"
    } elseif (($wanted -join "`n") -ceq ($explicit -join "`n")) {
        New-Check 'explicit entries' $true "the $($wanted.Count) entries of $($ProgramFiles.Path), in order"
    } else {
        New-Check 'explicit entries' $false ("differ from those of $($ProgramFiles.Path):`n    wanted: " +
            ($wanted -join "`n            ") + "`n    found:  " + ($explicit -join "`n            "))
    }
}

# The lines the script prints: one when the work is in place, nothing when
# not; with Explain, every check first, then each exposure finding.
function Format-Verdict {
    param($Checks, $Exposure = @(), [switch]$Explain)
    $inPlace = @($Checks).Count -gt 0 -and @($Checks | Where-Object { -not $_.Passed }).Count -eq 0
    if ($Explain) {
        foreach ($check in $Checks) {
            $result = if ($check.Passed) { 'pass' } else { 'FAIL' }
            '{0}  {1}: {2}' -f $result, $check.Check, $check.Why
        }
        foreach ($finding in $Exposure) {
            $who = if ($finding.Account) { $finding.Account } else { $finding.Sid }
            # The stock baseline is the same on every such machine: no action.
            $mark = if ($finding.PSObject.Properties['Kind'] -and $finding.Kind -eq 'Baseline') { 'baseline' } else { 'exposure' }
            '{0}  {1}: {2}{3}. Remedy: {4}' -f $mark, $finding.Path, $(if ($who) { "$who, $($finding.Allows): " }), $finding.Why, $finding.Remedy
        }
        if (-not $inPlace) {
            'The tool''s work is not in place'
        }
    }
    if ($inPlace) {
        $InPlaceLine
    }
}

# Reads the machine and decides; whatever cannot be read is a failed check.
function Get-MachineChecks {
    try {
        $special = Get-SpecialFolders
        if (-not $special.AppData -or -not $special.ProgramFiles) {
            return New-Check 'special folders' $false 'Windows names no application-data or 32-bit program-files folder'
        }
        $path = $special.AppData
        $way = @(foreach ($part in $Suffix) {
                $path = Join-Path $path $part
                Get-FolderFacts $path
            })
        Get-Checks -Way $way -ProgramFiles (Get-FolderFacts $special.ProgramFiles)
    } catch {
        New-Check 'reading the folders' $false $_.Exception.Message
    }
}

# Dot-sourced (as the tests do), the script only defines its functions.
if ($MyInvocation.InvocationName -eq '.') {
    return
}
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    # One line on standard error in 5.1 and 7 alike; nothing but FullLanguage
    # can read access lists.
    $global:ErrorView = 'CategoryView'
    Write-Error -Category SecurityError -CategoryActivity 'Test-DownloadsPermissions.ps1' `
        -CategoryTargetName $ExecutionContext.SessionState.LanguageMode `
        -CategoryReason 'needs FullLanguage; use the signed copy' -Message 'needs FullLanguage mode' -ErrorAction Continue
    exit 1
}
$exposure = @()
if ($Explain) {
    # Run as text (Invoke-Command -FilePath, a pasted detection method) there
    # is no file, and so nothing beside it.
    $audit = if ($PSScriptRoot) { Find-Audit $PSScriptRoot }
    if ($audit) {
        $exposure = @(& $audit -Summary:$false)
    } elseif ($PSScriptRoot) {
        Write-Output '(no exposure audit: Get-DownloadsExposure.ps1 is not beside this script)'
    } else {
        Write-Output '(no exposure audit: run from text, this script has no folder to find Get-DownloadsExposure.ps1 in)'
    }
}
Format-Verdict -Checks @(Get-MachineChecks) -Exposure $exposure -Explain:$Explain
exit 0
